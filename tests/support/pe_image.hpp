// Synthetic PE images for the tool package tests: just the headers the content-end search reads,
// with a certificate directory entry that can point anywhere.
#pragma once

#include "common/text.hpp"

#include <cstdint>
#include <cstring>

namespace kp::test {

struct PeImageShape {
    std::uint16_t optional_magic = 0x20B; // 0x20B PE32+, 0x10B PE32
    std::int32_t e_lfanew = 0x80;
    std::uint32_t directory_count = 16;
    std::uint32_t certificate_offset = 0;
    std::uint32_t certificate_size = 0;
    std::size_t size = 1024; // total image size, headers included
};

inline void put_le(Bytes& image, std::size_t at, std::uint64_t value, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i)
        image[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

inline Bytes pe_image(const PeImageShape& shape) {
    Bytes image(shape.size, 0xCC);
    if (image.size() < 64)
        return image;
    image[0] = 'M';
    image[1] = 'Z';
    put_le(image, 60, static_cast<std::uint32_t>(shape.e_lfanew), 4);
    const auto pe = static_cast<std::size_t>(shape.e_lfanew);
    if (shape.e_lfanew < 0 || pe + 24 + 240 > image.size())
        return image;
    std::memcpy(image.data() + pe, "PE\0\0", 4);
    const std::size_t optional = pe + 24;
    put_le(image, optional, shape.optional_magic, 2);
    const bool plus = shape.optional_magic == 0x20B;
    put_le(image, optional + (plus ? 108 : 92), shape.directory_count, 4);
    put_le(image, optional + (plus ? 144 : 128), shape.certificate_offset, 4);
    put_le(image, optional + (plus ? 148 : 132), shape.certificate_size, 4);
    return image;
}

// What a signing tool does to an image made by pe_image: a certificate table of table_size bytes
// appended at the end (the image is expected to end on an 8-byte boundary already) and described
// by the certificate directory.
inline Bytes sign_image(Bytes image, std::uint32_t table_size) {
    const std::size_t table_offset = image.size();
    const bool plus = image[0x80 + 24] == 0x0B && image[0x80 + 25] == 0x02;
    const std::size_t entry = 0x80 + 24 + (plus ? 144 : 128);
    put_le(image, entry, table_offset, 4);
    put_le(image, entry + 4, table_size, 4);
    image.resize(table_offset + table_size, 0x5A);
    return image;
}

} // namespace kp::test
