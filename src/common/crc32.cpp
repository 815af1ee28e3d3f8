#include "common/crc32.hpp"

#include <array>

namespace kp {

namespace {

constexpr std::array<std::uint32_t, 256> make_crc32_table() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t byte = 0; byte < 256; ++byte) {
        std::uint32_t value = byte;
        for (int bit = 0; bit < 8; ++bit)
            value = (value & 1) ? (value >> 1) ^ 0xEDB88320u : value >> 1;
        table[byte] = value;
    }
    return table;
}

constexpr std::array<std::uint32_t, 256> CRC32_TABLE = make_crc32_table();

} // namespace

std::uint32_t crc32(std::uint32_t crc, const std::uint8_t* data, std::size_t size) {
    crc = ~crc;
    for (std::size_t i = 0; i < size; ++i)
        crc = CRC32_TABLE[(crc ^ data[i]) & 0xFFu] ^ (crc >> 8);
    return ~crc;
}

} // namespace kp
