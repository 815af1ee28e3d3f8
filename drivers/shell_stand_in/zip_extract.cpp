// A small zip reader for the archives the launcher hands to the shell (stored and deflated
// entries, no archive comment): every offset and size is checked against the file before it is
// used, and the data must match its recorded size and CRC.
#include "zip_extract.hpp"

#define ZLIB_CONST
#include <windows.h>
#include <zlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace kp::stand_in {

namespace {

namespace fs = std::filesystem;

// Written as Windows' zip folder writes a file: opened exclusively, so that any other handle on it
// makes the write fail, then given the entry's date (DOS date and time, local) as last-write time.
bool write_whole(const fs::path& path, const std::string& data, std::uint32_t dos_stamp) {
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

// Little-endian field of WIDTH bytes at AT; bytes past the end of the archive read as zero.
std::uint32_t field(const std::string& zip, std::size_t at, std::size_t width) {
    std::uint32_t value = 0;
    for (std::size_t i = width; i-- > 0;)
        value = (value << 8) | (at + i < zip.size() ? static_cast<std::uint8_t>(zip[at + i]) : 0u);
    return value;
}

bool within(const std::string& zip, std::size_t at, std::size_t length) {
    return at <= zip.size() && length <= zip.size() - at;
}

// The data of the entry whose central directory header is at HEADER.
std::string entry_data(const std::string& zip, std::size_t header, std::string& data) {
    const std::uint32_t method = field(zip, header + 10, 2), crc = field(zip, header + 16, 4);
    const std::uint32_t packed = field(zip, header + 20, 4), size = field(zip, header + 24, 4);
    std::size_t at = field(zip, header + 42, 4);
    if (field(zip, at, 4) != 0x04034b50)
        return "bad local header";
    at += 30 + field(zip, at + 26, 2) + field(zip, at + 28, 2);
    if (!within(zip, at, packed) || size > (1u << 30)) // a test archive never comes near 1 GiB
        return "data out of bounds";
    if (method == 0) {
        data = zip.substr(at, packed);
    } else if (method == 8) {
        data.assign(size + 1, '\0'); // zlib wants somewhere to write even for an empty file
        z_stream stream{};
        if (inflateInit2(&stream, -MAX_WBITS) != Z_OK)
            return "inflate unavailable";
        stream.next_in = reinterpret_cast<const Bytef*>(zip.data() + at);
        stream.avail_in = packed;
        stream.next_out = reinterpret_cast<Bytef*>(data.data());
        stream.avail_out = size;
        const bool whole = inflate(&stream, Z_FINISH) == Z_STREAM_END;
        data.resize(stream.total_out);
        inflateEnd(&stream);
        if (!whole)
            return "corrupt deflate data";
    } else {
        return "unsupported method " + std::to_string(method);
    }
    if (data.size() != size || crc32(0, reinterpret_cast<const Bytef*>(data.data()), size) != crc)
        return "size or CRC mismatch";
    return {};
}

} // namespace

std::string extract_zip(const std::wstring& zip_path, const std::wstring& destination, int& count,
                        const CopyManner& manner) {
    count = 0;
    std::ifstream in(fs::path(zip_path), std::ios::binary);
    const std::string zip{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    const std::size_t end = zip.size() - std::min<std::size_t>(zip.size(), 22);
    if (field(zip, end, 4) != 0x06054b50)
        return "no end of central directory";
    std::size_t at = field(zip, end + 16, 4);
    for (std::uint32_t left = field(zip, end + 10, 2); left > 0; --left) {
        const std::size_t header = at, name_length = field(zip, at + 28, 2);
        if (field(zip, at, 4) != 0x02014b50 || !within(zip, at + 46, name_length))
            return "bad central directory header";
        const std::string name = zip.substr(at + 46, name_length);
        at += 46 + name_length + field(zip, at + 30, 2) + field(zip, at + 32, 2);
        if (name == manner.left_out)
            continue;
        if (manner.pause_ms > 0)
            Sleep(manner.pause_ms);
        // Relative names only: none may climb out of the destination or name a drive.
        const fs::path relative = fs::path(std::u8string(name.begin(), name.end())).lexically_normal();
        if (relative.empty() || relative.has_root_path() || *relative.begin() == "..")
            return "unsafe name " + name;
        const fs::path target = fs::path(destination) / relative;
        const bool folder = name.back() == '/';
        std::error_code ignored; // an existing folder is fine; a missing one fails the write
        fs::create_directories(folder ? target : target.parent_path(), ignored);
        std::string data, problem = folder ? "" : entry_data(zip, header, data);
        if (!problem.empty())
            return problem + " in " + name;
        if (!folder && !write_whole(target, data, field(zip, header + 12, 4)))
            return "cannot write " + name;
        ++count;
    }
    return {};
}

} // namespace kp::stand_in
