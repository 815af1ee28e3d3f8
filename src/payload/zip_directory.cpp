#include "payload/zip_directory.hpp"

#include "common/device_names.hpp"
#include "common/text.hpp"

#include <algorithm>
#include <string_view>

namespace kp {

namespace {

constexpr std::uint32_t END_SIGNATURE = 0x06054b50;
constexpr std::uint32_t ZIP64_LOCATOR_SIGNATURE = 0x07064b50;
constexpr std::uint32_t ZIP64_END_SIGNATURE = 0x06064b50;
constexpr std::uint32_t CENTRAL_SIGNATURE = 0x02014b50;
constexpr std::size_t END_RECORD_SIZE = 22;
constexpr std::size_t MAX_COMMENT_SIZE = 0xFFFF;
constexpr std::size_t ZIP64_LOCATOR_SIZE = 20;
constexpr std::size_t ZIP64_END_SIZE = 56;
constexpr std::size_t CENTRAL_HEADER_SIZE = 46;
constexpr std::size_t LOCAL_HEADER_SIZE = 30;
constexpr std::uint16_t UTF8_FLAG = 0x0800;
constexpr std::uint16_t ZIP64_EXTRA_ID = 0x0001;
constexpr std::uint16_t FULL16 = 0xFFFF;
constexpr std::uint32_t FULL32 = 0xFFFFFFFF;

// A view of the archive; every read is bounds-checked by its caller before it is made.
struct Buffer {
    const std::uint8_t* data;
    std::uint64_t size;

    std::uint64_t le(std::uint64_t offset, int width) const {
        std::uint64_t value = 0;
        for (int i = width - 1; i >= 0; --i)
            value = (value << 8) | data[offset + i];
        return value;
    }
    std::uint16_t le16(std::uint64_t offset) const { return static_cast<std::uint16_t>(le(offset, 2)); }
    std::uint32_t le32(std::uint64_t offset) const { return static_cast<std::uint32_t>(le(offset, 4)); }
    std::uint64_t le64(std::uint64_t offset) const { return le(offset, 8); }
};

struct DirectoryLocation {
    std::uint64_t entry_count = 0;
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    std::uint64_t end = 0; // where the records after the directory begin
};

// The end record is the last signature whose comment reaches exactly to the end of the buffer.
bool find_end_record(const Buffer& archive, std::uint64_t& end_offset) {
    if (archive.size < END_RECORD_SIZE)
        return false;
    const std::uint64_t last = archive.size - END_RECORD_SIZE;
    const std::uint64_t first = last > MAX_COMMENT_SIZE ? last - MAX_COMMENT_SIZE : 0;
    for (std::uint64_t offset = last + 1; offset-- > first;) {
        if (archive.le32(offset) == END_SIGNATURE &&
            offset + END_RECORD_SIZE + archive.le16(offset + 20) == archive.size) {
            end_offset = offset;
            return true;
        }
    }
    return false;
}

bool read_zip64_location(const Buffer& archive, std::uint64_t end_offset, DirectoryLocation& location) {
    if (end_offset < ZIP64_LOCATOR_SIZE)
        return false;
    const std::uint64_t locator = end_offset - ZIP64_LOCATOR_SIZE;
    if (archive.le32(locator) != ZIP64_LOCATOR_SIGNATURE || archive.le32(locator + 4) != 0 ||
        archive.le32(locator + 16) > 1)
        return false;
    const std::uint64_t record = archive.le64(locator + 8);
    if (record > locator || locator - record < ZIP64_END_SIZE)
        return false;
    if (archive.le32(record) != ZIP64_END_SIGNATURE || archive.le32(record + 16) != 0 ||
        archive.le32(record + 20) != 0 || archive.le64(record + 24) != archive.le64(record + 32))
        return false;
    location = {archive.le64(record + 32), archive.le64(record + 48), archive.le64(record + 40), record};
    return true;
}

bool locate_directory(const Buffer& archive, DirectoryLocation& location) {
    std::uint64_t end_offset = 0;
    if (!find_end_record(archive, end_offset))
        return false;
    const std::uint16_t entries_here = archive.le16(end_offset + 8);
    const std::uint16_t entries = archive.le16(end_offset + 10);
    const std::uint32_t directory_size = archive.le32(end_offset + 12);
    const std::uint32_t directory_offset = archive.le32(end_offset + 16);
    if (entries == FULL16 || directory_size == FULL32 || directory_offset == FULL32) {
        if (!read_zip64_location(archive, end_offset, location))
            return false;
    } else {
        if (archive.le16(end_offset + 4) != 0 || archive.le16(end_offset + 6) != 0 || entries_here != entries)
            return false;
        location = {entries, directory_offset, directory_size, end_offset};
    }
    return location.offset <= location.end && location.size <= location.end - location.offset;
}

// Replaces the 32-bit fields that are all ones by their Zip64 extra field values, in the order
// the format gives them. A field marked but missing is malformed.
bool resolve_zip64_fields(const Buffer& archive, std::uint64_t extra, std::uint64_t extra_size,
                          std::uint64_t& size, std::uint64_t& compressed_size, std::uint64_t& local_offset,
                          std::uint32_t& disk) {
    std::uint64_t* const wide_fields[] = {&size, &compressed_size, &local_offset};
    const std::uint64_t extra_end = extra + extra_size;
    std::uint64_t block = extra;
    while (block + 4 <= extra_end) {
        const std::uint16_t id = archive.le16(block);
        const std::uint16_t length = archive.le16(block + 2);
        const std::uint64_t field_start = block + 4;
        if (length > extra_end - field_start)
            return false;
        if (id == ZIP64_EXTRA_ID) {
            std::uint64_t field = field_start;
            const std::uint64_t field_end = field_start + length;
            for (std::uint64_t* value : wide_fields) {
                if (*value != FULL32)
                    continue;
                if (field_end - field < 8)
                    return false;
                *value = archive.le64(field);
                field += 8;
            }
            if (disk == FULL16) {
                if (field_end - field < 4)
                    return false;
                disk = archive.le32(field);
            }
            return true;
        }
        block = field_start + length;
    }
    return size != FULL32 && compressed_size != FULL32 && local_offset != FULL32 && disk != FULL16;
}

// Upper case as Windows file names compare, for the scripts archives name files in.
char16_t fold_case(char16_t code) {
    if (code >= u'a' && code <= u'z')
        return code - 0x20;
    if ((code >= 0xE0 && code <= 0xFE && code != 0xF7) || (code >= 0x3B1 && code <= 0x3CB && code != 0x3C2) ||
        (code >= 0x430 && code <= 0x44F))
        return code - 0x20;
    if (code == 0xFF)
        return 0x178;
    if (code == 0x3C2) // final sigma
        return 0x3A3;
    if (code >= 0x450 && code <= 0x45F)
        return code - 0x50;
    const bool odd_is_lower = (code >= 0x100 && code <= 0x137) || (code >= 0x14A && code <= 0x177);
    const bool even_is_lower = (code >= 0x139 && code <= 0x148) || (code >= 0x179 && code <= 0x17E);
    if ((odd_is_lower && code % 2 == 1) || (even_is_lower && code % 2 == 0))
        return code - 1;
    return code;
}

bool unsafe_character(char16_t code) {
    return code < 0x20 || code == u'\\' || code == u':' || code == u'<' || code == u'>' || code == u'"' ||
           code == u'|' || code == u'?' || code == u'*';
}

// The path without a folder entry's trailing '/': every component non-empty, made of characters
// Windows keeps, and not ending in a character Windows drops.
bool safe_path(const std::u16string& path) {
    if (path.empty())
        return false;
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t end = std::min(path.find(u'/', start), path.size());
        if (end == start || path[end - 1] == u'.' || path[end - 1] == u' ')
            return false;
        if (std::any_of(path.begin() + start, path.begin() + end, unsafe_character))
            return false;
        start = end + 1;
    }
    return true;
}

ZipDirectoryProblem check_name(const std::string& name, bool utf8, bool folder) {
    if (!utf8 &&
        std::any_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; }))
        return ZipDirectoryProblem::non_ascii_name_without_utf8_flag;
    // Strict UTF-8 is exactly what survives the round trip: invalid bytes, overlong forms and
    // encoded surrogates come back as U+FFFD.
    std::u16string path = utf8_to_utf16(name);
    if (utf16_to_utf8(path) != name)
        return ZipDirectoryProblem::malformed;
    if (folder)
        path.pop_back();
    if (!safe_path(path))
        return ZipDirectoryProblem::unsafe_name;
    return names_a_device(path) ? ZipDirectoryProblem::device_name : ZipDirectoryProblem::none;
}

// The path as Windows compares names: letters folded, without a folder entry's trailing '/'.
std::u16string folded_path(const ZipDirectoryEntry& entry) {
    std::u16string path = utf8_to_utf16(entry.name);
    if (entry.folder)
        path.pop_back();
    std::transform(path.begin(), path.end(), path.begin(), fold_case);
    return path;
}

void refuse(ZipDirectory& directory, ZipDirectoryProblem problem, const std::string& entry) {
    directory.problem = problem;
    directory.problem_entry = entry;
}

constexpr std::uint64_t FNV_OFFSET = 14695981039346656037u;
constexpr std::uint64_t FNV_PRIME = 1099511628211u;

std::uint64_t fnv_step(std::uint64_t hash, char16_t unit) {
    return (hash ^ unit) * FNV_PRIME;
}

std::uint64_t fnv_hash(const std::u16string& text) {
    std::uint64_t hash = FNV_OFFSET;
    for (const char16_t unit : text)
        hash = fnv_step(hash, unit);
    return hash;
}

// The entries' folded paths in an open-addressing table: a slot holds an entry's index + 1, or 0
// when free. Paths are folded again when compared rather than kept: the table stays small.
struct NameTable {
    const std::vector<ZipDirectoryEntry>& entries;
    std::vector<std::size_t> slots;

    // The slot holding units [0, length) of name, or the free slot where it would go.
    std::size_t find(const std::u16string& name, std::size_t length, std::uint64_t hash) const {
        const std::size_t mask = slots.size() - 1;
        for (std::size_t at = hash & mask;; at = (at + 1) & mask) {
            if (slots[at] == 0 || name.compare(0, length, folded_path(entries[slots[at] - 1])) == 0)
                return at;
        }
    }
};

// The first entry, in directory order, whose path an earlier entry already takes, or that needs a
// folder where a file entry stands ("a" and "a/b" cannot both be placed); null when none does.
const ZipDirectoryEntry* clashing_entry(const std::vector<ZipDirectoryEntry>& entries) {
    std::size_t capacity = 2;
    while (capacity < 2 * entries.size())
        capacity *= 2;
    NameTable table{entries, std::vector<std::size_t>(capacity)};
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const std::u16string path = folded_path(entries[i]);
        const std::size_t at = table.find(path, path.size(), fnv_hash(path));
        if (table.slots[at] != 0)
            return &entries[i];
        table.slots[at] = i + 1;
    }
    for (const ZipDirectoryEntry& entry : entries) {
        const std::u16string path = folded_path(entry);
        std::uint64_t prefix_hash = FNV_OFFSET;
        for (std::size_t at = 0; at < path.size(); prefix_hash = fnv_step(prefix_hash, path[at++])) {
            if (path[at] != u'/')
                continue;
            const std::size_t slot = table.slots[table.find(path, at, prefix_hash)];
            if (slot != 0 && !entries[slot - 1].folder)
                return &entry;
        }
    }
    return nullptr;
}

} // namespace

ZipDirectory read_zip_directory(const std::uint8_t* data, std::size_t size) {
    ZipDirectory directory;
    const Buffer archive{data, size};
    DirectoryLocation location;
    if (!locate_directory(archive, location)) {
        directory.problem = ZipDirectoryProblem::malformed;
        return directory;
    }

    const std::uint64_t directory_end = location.offset + location.size;
    std::uint64_t header = location.offset;
    for (std::uint64_t index = 0; index < location.entry_count; ++index) {
        if (directory_end - header < CENTRAL_HEADER_SIZE || archive.le32(header) != CENTRAL_SIGNATURE) {
            directory.problem = ZipDirectoryProblem::malformed;
            return directory;
        }
        const std::uint16_t flags = archive.le16(header + 8);
        const std::uint16_t name_size = archive.le16(header + 28);
        const std::uint16_t extra_size = archive.le16(header + 30);
        const std::uint16_t comment_size = archive.le16(header + 32);
        const std::uint64_t record_size = CENTRAL_HEADER_SIZE + name_size + extra_size + comment_size;
        if (directory_end - header < record_size) {
            directory.problem = ZipDirectoryProblem::malformed;
            return directory;
        }

        ZipDirectoryEntry entry;
        entry.name.assign(reinterpret_cast<const char*>(data + header + CENTRAL_HEADER_SIZE), name_size);
        entry.crc32 = archive.le32(header + 16);
        entry.size = archive.le32(header + 24);
        entry.folder = !entry.name.empty() && entry.name.back() == '/';
        std::uint64_t compressed_size = archive.le32(header + 20);
        std::uint64_t local_offset = archive.le32(header + 42);
        std::uint32_t disk = archive.le16(header + 34);
        if (!resolve_zip64_fields(archive, header + CENTRAL_HEADER_SIZE + name_size, extra_size, entry.size,
                                  compressed_size, local_offset, disk) ||
            disk != 0 || local_offset > location.offset ||
            location.offset - local_offset < LOCAL_HEADER_SIZE ||
            compressed_size > location.offset - local_offset - LOCAL_HEADER_SIZE) {
            refuse(directory, ZipDirectoryProblem::malformed, entry.name);
            return directory;
        }

        const ZipDirectoryProblem name = check_name(entry.name, (flags & UTF8_FLAG) != 0, entry.folder);
        if (name != ZipDirectoryProblem::none) {
            refuse(directory, name, entry.name);
            return directory;
        }
        directory.entries.push_back(std::move(entry));
        header += record_size;
    }
    if (header != directory_end) {
        directory.problem = ZipDirectoryProblem::malformed;
        return directory;
    }
    if (const ZipDirectoryEntry* entry = clashing_entry(directory.entries)) {
        refuse(directory, ZipDirectoryProblem::duplicate_name, entry->name);
        return directory;
    }
    return directory;
}

} // namespace kp
