// A small zip reader over the central directory: every offset and size is checked against the
// file before it is used, and inflated data must match its recorded size and CRC.
#include "zip_extract.hpp"

#define ZLIB_CONST
#include <windows.h>
#include <zlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace kp::stand_in {

namespace {

bool read_whole(const std::filesystem::path& path, std::string& out) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    const std::streamoff size = in ? static_cast<std::streamoff>(in.tellg()) : -1;
    if (size < 0)
        return false;
    out.resize(static_cast<std::size_t>(size));
    return static_cast<bool>(in.seekg(0).read(out.data(), size));
}

// Written as Windows' zip folder writes a file: opened exclusively, so that any other handle on it
// makes the write fail, then given the entry's date (DOS date and time, local) as last-write time.
bool write_whole(const std::filesystem::path& path, const std::string& data, std::uint32_t dos_stamp) {
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    FILETIME local{}, stamp{};
    const bool done =
        WriteFile(file, data.data(), static_cast<DWORD>(data.size()), &written, nullptr) &&
        written == data.size() &&
        DosDateTimeToFileTime(static_cast<WORD>(dos_stamp >> 16), static_cast<WORD>(dos_stamp), &local) &&
        LocalFileTimeToFileTime(&local, &stamp) && SetFileTime(file, nullptr, nullptr, &stamp);
    return CloseHandle(file) && done;
}

// Little-endian field of WIDTH bytes at AT; the caller has checked the bounds.
std::uint32_t field(const std::string& bytes, std::size_t at, int width) {
    std::uint32_t value = 0;
    for (int i = width - 1; i >= 0; --i)
        value = (value << 8) | static_cast<std::uint8_t>(bytes[at + static_cast<std::size_t>(i)]);
    return value;
}

struct Entry {
    std::string name;
    std::uint32_t flags, method, dos_stamp, crc, packed, size, local_offset;
};

constexpr std::size_t END_RECORD = 22, CENTRAL_HEADER = 46, LOCAL_HEADER = 30;
constexpr std::uint32_t LARGEST_ENTRY = 1u << 30; // a test archive never comes near it

std::string read_directory(const std::string& zip, std::vector<Entry>& entries) {
    if (zip.size() < END_RECORD)
        return "too short for a zip archive";
    std::size_t end = zip.size() - END_RECORD;
    const std::size_t lowest = end > 0xffff ? end - 0xffff : 0;
    while (field(zip, end, 4) != 0x06054b50)
        if (end-- == lowest)
            return "no end of central directory";
    const std::uint32_t count = field(zip, end + 10, 2), length = field(zip, end + 12, 4);
    std::size_t at = field(zip, end + 16, 4);
    if (at > end || length > end - at)
        return "central directory out of bounds";
    for (std::uint32_t i = 0; i < count; ++i) {
        if (end - at < CENTRAL_HEADER || field(zip, at, 4) != 0x02014b50)
            return "bad central directory header";
        const std::size_t name_length = field(zip, at + 28, 2);
        const std::size_t skip = name_length + field(zip, at + 30, 2) + field(zip, at + 32, 2);
        if (end - at - CENTRAL_HEADER < skip)
            return "central directory entry out of bounds";
        entries.push_back({zip.substr(at + CENTRAL_HEADER, name_length), field(zip, at + 8, 2),
                           field(zip, at + 10, 2), field(zip, at + 12, 4), field(zip, at + 16, 4),
                           field(zip, at + 20, 4), field(zip, at + 24, 4), field(zip, at + 42, 4)});
        at += CENTRAL_HEADER + skip;
    }
    return {};
}

std::string entry_data(const std::string& zip, const Entry& entry, std::string& data) {
    if ((entry.flags & 1) != 0)
        return "encrypted entry " + entry.name;
    if (entry.packed == 0xffffffff || entry.size == 0xffffffff || entry.local_offset == 0xffffffff)
        return "zip64 entry " + entry.name;
    if (entry.size > LARGEST_ENTRY)
        return "entry too large " + entry.name;
    std::size_t at = entry.local_offset;
    if (at > zip.size() || zip.size() - at < LOCAL_HEADER || field(zip, at, 4) != 0x04034b50)
        return "bad local header for " + entry.name;
    at += LOCAL_HEADER + field(zip, at + 26, 2) + field(zip, at + 28, 2);
    if (at > zip.size() || zip.size() - at < entry.packed)
        return "data out of bounds for " + entry.name;
    if (entry.method == 0) {
        data = zip.substr(at, entry.packed);
    } else if (entry.method == 8) {
        data.assign(entry.size, '\0');
        z_stream stream{};
        if (inflateInit2(&stream, -MAX_WBITS) != Z_OK)
            return "inflate unavailable";
        char spare = 0; // zlib wants somewhere to write even for an empty file
        stream.next_in = reinterpret_cast<const Bytef*>(zip.data() + at);
        stream.avail_in = entry.packed;
        stream.next_out = reinterpret_cast<Bytef*>(entry.size > 0 ? data.data() : &spare);
        stream.avail_out = entry.size;
        const int status = inflate(&stream, Z_FINISH);
        const bool whole = status == Z_STREAM_END && stream.total_out == entry.size;
        inflateEnd(&stream);
        if (!whole)
            return "corrupt deflate data in " + entry.name;
    } else {
        return "unsupported method " + std::to_string(entry.method) + " in " + entry.name;
    }
    if (data.size() != entry.size ||
        crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())) != entry.crc)
        return "size or CRC mismatch in " + entry.name;
    return {};
}

// Relative names only: no root, no drive, no backslash, no ".." or empty component.
bool safe_name(const std::string& name) {
    if (name.empty() || name[0] == '/' || name.find_first_of("\\:") != std::string::npos)
        return false;
    std::size_t start = 0;
    while (start < name.size()) {
        const std::size_t slash = std::min(name.find('/', start), name.size());
        const std::string part = name.substr(start, slash - start);
        if (part.empty() || part == "." || part == "..")
            return false;
        start = slash + 1;
    }
    return true;
}

bool widen(const std::string& text, std::wstring& out) {
    const int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                         static_cast<int>(text.size()), nullptr, 0);
    if (size <= 0)
        return false;
    out.assign(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size);
    return true;
}

} // namespace

std::string extract_zip(const std::wstring& zip_path, const std::wstring& destination, int& count,
                        const CopyManner& manner) {
    count = 0;
    std::string zip;
    if (!read_whole(zip_path, zip))
        return "cannot read the archive";
    std::vector<Entry> entries;
    if (std::string problem = read_directory(zip, entries); !problem.empty())
        return problem;
    for (const Entry& entry : entries) {
        if (entry.name == manner.left_out)
            continue;
        if (manner.pause_ms > 0)
            Sleep(manner.pause_ms);
        std::wstring name;
        const bool folder = !entry.name.empty() && entry.name.back() == '/';
        if (!safe_name(folder ? entry.name.substr(0, entry.name.size() - 1) : entry.name) ||
            !widen(entry.name, name))
            return "unsafe name " + entry.name;
        const std::filesystem::path target = std::filesystem::path(destination) / name;
        std::error_code ignored; // an existing folder is fine; a missing one fails the write
        std::filesystem::create_directories(folder ? target : target.parent_path(), ignored);
        if (!folder) {
            std::string data;
            if (std::string problem = entry_data(zip, entry, data); !problem.empty())
                return problem;
            if (!write_whole(target, data, entry.dos_stamp))
                return "cannot write " + entry.name;
        }
        ++count;
    }
    return {};
}

} // namespace kp::stand_in
