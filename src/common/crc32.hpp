// CRC-32 as zip archives and zlib compute it (reflected polynomial 0xEDB88320).
#pragma once

#include <cstddef>
#include <cstdint>

namespace kp {

// Continues crc over size bytes: crc32(0, data, n) is the CRC-32 of those bytes, and feeding
// the result back in with the next bytes gives the CRC-32 of both pieces together. Each call
// first makes its table (a microsecond): pass blocks, not single bytes.
std::uint32_t crc32(std::uint32_t crc, const std::uint8_t* data, std::size_t size);

} // namespace kp
