// Stored (uncompressed) zip archives made byte by byte, with real CRC-32s, for the directory
// reader, the installation and kpack's checks: names, flags, methods, Unix modes, Zip64 fields
// and damage as a case needs them.
#pragma once

#include "common/crc32.hpp"
#include "common/text.hpp"

#include <string>
#include <vector>

namespace kp::test {

struct ZipArchiveEntry {
    std::string name; // a trailing '/' makes a folder entry
    std::string data = {};
    bool utf8 = false;           // general purpose bit 11
    bool zip64 = false;          // sizes and offset moved into a Zip64 extra field
    std::uint16_t method = 0;    // 0 stored; 12 bzip2 (the data is not compressed: only listed)
    std::uint16_t flags = 0;     // more general purpose bits (bit 0: encrypted)
    std::uint32_t unix_mode = 0; // made on Unix with this mode (0120777: a symbolic link); 0: on NTFS
};

inline void put_le(Bytes& out, std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i)
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// zip64_end: the end record points to a Zip64 end record and locator, as for huge archives.
inline Bytes zip_archive(const std::vector<ZipArchiveEntry>& entries, bool zip64_end = false) {
    Bytes out, central;
    for (const ZipArchiveEntry& entry : entries) {
        const std::uint64_t offset = out.size();
        const std::uint32_t crc =
            kp::crc32(0, reinterpret_cast<const std::uint8_t*>(entry.data.data()), entry.data.size());
        const std::uint64_t narrow_size = entry.zip64 ? 0xFFFFFFFF : entry.data.size();
        const auto header = [&](Bytes& to, bool in_central) {
            put_le(to, in_central ? 0x02014b50 : 0x04034b50, 4);
            if (in_central)
                put_le(to, entry.unix_mode != 0 ? 0x031E : 0x0314, 2); // made by: Unix or NTFS
            put_le(to, entry.zip64 ? 45 : 20, 2);
            put_le(to, (entry.utf8 ? 0x0800 : 0) | entry.flags, 2);
            put_le(to, entry.method, 2);
            put_le(to, 0, 4); // time, date
            put_le(to, crc, 4);
            put_le(to, narrow_size, 4);
            put_le(to, narrow_size, 4);
            put_le(to, entry.name.size(), 2);
            const bool offset_in_extra = in_central && entry.zip64;
            put_le(to, entry.zip64 ? 4 + 16 + (offset_in_extra ? 8 : 0) : 0, 2);
            if (in_central) {
                put_le(to, 0, 6); // comment, disk, internal attributes
                put_le(to,
                       entry.unix_mode != 0       ? std::uint64_t{entry.unix_mode} << 16
                       : entry.name.back() == '/' ? 0x10
                                                  : 0x20,
                       4);
                put_le(to, entry.zip64 ? 0xFFFFFFFF : offset, 4);
            }
            to.insert(to.end(), entry.name.begin(), entry.name.end());
            if (entry.zip64) {
                put_le(to, 0x0001, 2);
                put_le(to, 16 + (offset_in_extra ? 8 : 0), 2);
                put_le(to, entry.data.size(), 8);
                put_le(to, entry.data.size(), 8);
                if (offset_in_extra)
                    put_le(to, offset, 8);
            }
        };
        header(out, false);
        out.insert(out.end(), entry.data.begin(), entry.data.end());
        header(central, true);
    }
    const std::uint64_t central_offset = out.size();
    out.insert(out.end(), central.begin(), central.end());
    if (zip64_end) {
        const std::uint64_t record = out.size();
        put_le(out, 0x06064b50, 4);
        put_le(out, 44, 8); // size of the rest of the record
        put_le(out, 45, 2);
        put_le(out, 45, 2);
        put_le(out, 0, 8); // this disk, the directory's disk
        put_le(out, entries.size(), 8);
        put_le(out, entries.size(), 8);
        put_le(out, central.size(), 8);
        put_le(out, central_offset, 8);
        put_le(out, 0x07064b50, 4);
        put_le(out, 0, 4);
        put_le(out, record, 8);
        put_le(out, 1, 4);
    }
    put_le(out, 0x06054b50, 4);
    put_le(out, 0, 4);
    put_le(out, zip64_end ? 0xFFFF : entries.size(), 2);
    put_le(out, zip64_end ? 0xFFFF : entries.size(), 2);
    put_le(out, zip64_end ? 0xFFFFFFFF : central.size(), 4);
    put_le(out, zip64_end ? 0xFFFFFFFF : central_offset, 4);
    put_le(out, 0, 2);
    return out;
}

} // namespace kp::test
