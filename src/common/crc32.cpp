#include "common/crc32.hpp"

#include <array>

namespace kp {

namespace {

using Crc32Table = std::array<std::uint32_t, 256>;

// Made on each call instead of stored: the shipped launcher carries no table and no state,
// at the price of about 2,000 shifts a call (callers pass blocks, not single bytes).
void make_crc32_table(Crc32Table& table) {
    for (std::uint32_t byte = 0; byte < 256; ++byte) {
        std::uint32_t value = byte;
        for (int bit = 0; bit < 8; ++bit)
            value = (value & 1) ? (value >> 1) ^ 0xEDB88320u : value >> 1;
        table[byte] = value;
    }
}

} // namespace

std::uint32_t crc32(std::uint32_t crc, const std::uint8_t* data, std::size_t size) {
    Crc32Table table;
    make_crc32_table(table);
    crc = ~crc;
    for (std::size_t i = 0; i < size; ++i)
        crc = table[(crc ^ data[i]) & 0xFFu] ^ (crc >> 8);
    return ~crc;
}

} // namespace kp
