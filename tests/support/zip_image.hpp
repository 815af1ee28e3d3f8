// Small zip archives made byte by byte for kpack's checks: stored entries with the flags,
// method and attributes a case needs.
#pragma once

#include "common/text.hpp"

#include <string>
#include <vector>

namespace kp::test {

struct ZipImageEntry {
    std::string name;
    std::string data;
    std::uint16_t method = 0;          // 0 stored; 12 bzip2 (data not compressed: only listed)
    std::uint16_t flags = 0;           // bit 0: encrypted
    std::uint32_t unix_mode = 0100644; // 0120777 for a symbolic link
};

inline void put_le_bytes(Bytes& out, std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i)
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

inline Bytes zip_image(const std::vector<ZipImageEntry>& entries) {
    Bytes out;
    Bytes central;
    for (const ZipImageEntry& entry : entries) {
        const std::uint64_t offset = out.size();
        // CRC is left 0: the checks read headers, not data.
        const auto header = [&](Bytes& to, bool in_central) {
            put_le_bytes(to, in_central ? 0x02014b50 : 0x04034b50, 4);
            if (in_central)
                put_le_bytes(to, 0x031E, 2); // made by: Unix
            put_le_bytes(to, 20, 2);
            put_le_bytes(to, entry.flags, 2);
            put_le_bytes(to, entry.method, 2);
            put_le_bytes(to, 0, 4); // time, date
            put_le_bytes(to, 0, 4); // CRC
            put_le_bytes(to, entry.data.size(), 4);
            put_le_bytes(to, entry.data.size(), 4);
            put_le_bytes(to, entry.name.size(), 2);
            put_le_bytes(to, 0, 2); // extra
            if (in_central) {
                put_le_bytes(to, 0, 6); // comment, disk, internal attributes
                put_le_bytes(to, std::uint64_t{entry.unix_mode} << 16, 4);
                put_le_bytes(to, offset, 4);
            }
            to.insert(to.end(), entry.name.begin(), entry.name.end());
        };
        header(out, false);
        out.insert(out.end(), entry.data.begin(), entry.data.end());
        header(central, true);
    }
    const std::uint64_t central_offset = out.size();
    out.insert(out.end(), central.begin(), central.end());
    put_le_bytes(out, 0x06054b50, 4);
    put_le_bytes(out, 0, 4);
    put_le_bytes(out, entries.size(), 2);
    put_le_bytes(out, entries.size(), 2);
    put_le_bytes(out, central.size(), 4);
    put_le_bytes(out, central_offset, 4);
    put_le_bytes(out, 0, 2);
    return out;
}

} // namespace kp::test
