// Locating and validating the tool package at the end of a host image. Every read is a seek
// followed by one read that must return all the bytes asked for; every bound check treats a sum
// that wraps around 2^64 as lying beyond the bound, so hostile offsets cannot pass.
#include "tools/tool_package_format.hpp"

#include "common/device_names.hpp"
#include "common/text.hpp"

#include <array>
#include <cstring>

namespace kp {
namespace {

constexpr std::uint16_t DOS_SIGNATURE = 0x5A4D;    // "MZ"
constexpr std::uint32_t PE_SIGNATURE = 0x00004550; // "PE\0\0"
constexpr std::uint16_t PE32_PLUS_MAGIC = 0x20B;
constexpr std::uint32_t CERTIFICATE_DIRECTORY = 4;

template <std::size_t N>
bool read_at(const FileHandle& file, std::uint64_t offset, std::array<std::uint8_t, N>& out) {
    if (!sys::seek_file(file, offset))
        return false;
    std::uint32_t done = 0;
    return sys::read_file(file, out.data(), static_cast<std::uint32_t>(N), done) && done == N;
}

template <std::size_t N> std::uint16_t le16(const std::array<std::uint8_t, N>& bytes, std::size_t at) {
    return static_cast<std::uint16_t>(bytes[at] | (bytes[at + 1] << 8));
}

template <std::size_t N> std::uint32_t le32(const std::array<std::uint8_t, N>& bytes, std::size_t at) {
    return static_cast<std::uint32_t>(bytes[at]) | static_cast<std::uint32_t>(bytes[at + 1]) << 8 |
           static_cast<std::uint32_t>(bytes[at + 2]) << 16 | static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}

template <std::size_t N> std::uint64_t le64(const std::array<std::uint8_t, N>& bytes, std::size_t at) {
    return static_cast<std::uint64_t>(le32(bytes, at)) | static_cast<std::uint64_t>(le32(bytes, at + 4))
                                                             << 32;
}

// Reads the optional header in the layout its magic selects and returns the certificate
// directory's (offset, size), or nothing when the header is short or has too few directories.
struct DirectoryEntry {
    std::uint32_t offset = 0;
    std::uint32_t size = 0;
};

template <std::size_t N>
std::optional<DirectoryEntry> certificate_entry(const FileHandle& file, std::uint64_t header_offset,
                                                std::size_t count_at, std::size_t entry_at) {
    std::array<std::uint8_t, N> header{};
    if (!read_at(file, header_offset, header))
        return std::nullopt;
    if (le32(header, count_at) <= CERTIFICATE_DIRECTORY)
        return std::nullopt;
    return DirectoryEntry{le32(header, entry_at), le32(header, entry_at + 4)};
}

std::optional<DirectoryEntry> find_certificate_directory(const FileHandle& file) {
    std::array<std::uint8_t, 64> dos{};
    if (!read_at(file, 0, dos) || le16(dos, 0) != DOS_SIGNATURE)
        return std::nullopt;
    const auto e_lfanew = static_cast<std::int32_t>(le32(dos, 60));
    if (e_lfanew < 0)
        return std::nullopt;
    const auto pe_offset = static_cast<std::uint64_t>(e_lfanew);
    std::array<std::uint8_t, 4> signature{};
    if (!read_at(file, pe_offset, signature) || le32(signature, 0) != PE_SIGNATURE)
        return std::nullopt;
    const std::uint64_t optional_header = pe_offset + 24;
    std::array<std::uint8_t, 2> magic{};
    if (!read_at(file, optional_header, magic))
        return std::nullopt;
    if (le16(magic, 0) == PE32_PLUS_MAGIC)
        return certificate_entry<240>(file, optional_header, 108, 144);
    return certificate_entry<224>(file, optional_header, 92, 128);
}

} // namespace

std::uint64_t find_content_end(const FileHandle& file, std::uint64_t file_size) {
    const auto table = find_certificate_directory(file);
    if (!table || table->offset == 0 || table->size == 0)
        return file_size;
    const std::uint64_t table_end = std::uint64_t{table->offset} + table->size;
    return table_end == file_size ? table->offset : file_size;
}

std::u16string package_id_text(const std::uint8_t* bytes) {
    std::u16string id(32, u'\0');
    for (std::size_t i = 0; i < id.size(); ++i)
        id[i] = static_cast<char16_t>(static_cast<std::int16_t>(static_cast<std::int8_t>(bytes[i])));
    return id;
}

std::optional<ToolPackageTrailer> read_tool_package_trailer(const FileHandle& file, std::uint64_t file_size) {
    const std::uint64_t content_end = find_content_end(file, file_size);
    if (content_end < TOOL_PACKAGE_TRAILER_SIZE)
        return std::nullopt;
    const std::uint64_t trailer_start = content_end - TOOL_PACKAGE_TRAILER_SIZE;
    std::array<std::uint8_t, TOOL_PACKAGE_TRAILER_SIZE> raw{};
    if (!read_at(file, trailer_start, raw))
        return std::nullopt;
    if (std::memcmp(raw.data(), TOOL_PACKAGE_MAGIC.data(), TOOL_PACKAGE_MAGIC.size()) != 0)
        return std::nullopt;
    ToolPackageTrailer trailer;
    trailer.package_offset = le64(raw, 8);
    trailer.package_size = le64(raw, 16);
    if (!fits_before(trailer.package_offset, trailer.package_size, trailer_start) ||
        trailer.package_size == 0)
        return std::nullopt;
    trailer.package_id = package_id_text(raw.data() + 24);
    return trailer;
}

bool is_valid_name_size(std::uint32_t name_size) {
    return name_size >= 2 && name_size <= MAX_NAME_SIZE && name_size % 2 == 0;
}

bool is_acceptable_entry_name(std::u16string_view name) {
    if (name.size() >= 2 && name.find(u"..") != std::u16string_view::npos)
        return false;
    if (name.find(u':') != std::u16string_view::npos)
        return false;
    return name.empty() || name.front() != u'\\';
}

EntryProblem entry_name_problem(std::u16string_view name) {
    if (!is_acceptable_entry_name(name))
        return EntryProblem::refused_name;
    return names_a_device(name) ? EntryProblem::device_name : EntryProblem::none;
}

EntryProblem read_tool_package_entry(const FileHandle& file, std::uint64_t position, std::uint64_t stream_end,
                                     ToolPackageEntry& entry, std::uint64_t& data_start) {
    std::array<std::uint8_t, 4> name_size{};
    if (!read_at(file, position, name_size))
        return EntryProblem::unreadable;
    entry.name_size = le32(name_size, 0);
    if (!is_valid_name_size(entry.name_size))
        return EntryProblem::bad_name_size;
    // The reads below stay within the file when they succeed, so position + 12 + name_size
    // cannot wrap once they have.
    std::array<std::uint8_t, MAX_NAME_SIZE> name; // only the bytes read are used: not cleared for each entry
    std::uint32_t done = 0;
    if (!sys::seek_file(file, position + 4) || !sys::read_file(file, name.data(), entry.name_size, done) ||
        done != entry.name_size)
        return EntryProblem::unreadable;
    std::array<std::uint8_t, 8> data_size{};
    if (!read_at(file, position + 4 + entry.name_size, data_size))
        return EntryProblem::unreadable;
    entry.data_size = le64(data_size, 0);
    entry.name.resize(entry.name_size / 2);
    for (std::size_t i = 0; i < entry.name.size(); ++i)
        entry.name[i] = static_cast<char16_t>(name[2 * i] | (name[2 * i + 1] << 8));
    if (const EntryProblem problem = entry_name_problem(entry.name); problem != EntryProblem::none)
        return problem;
    if (!fits_before(position, 12 + std::uint64_t{entry.name_size}, stream_end))
        return EntryProblem::beyond_stream;
    data_start = position + 12 + entry.name_size;
    if (!fits_before(data_start, entry.data_size, stream_end))
        return EntryProblem::beyond_stream;
    return EntryProblem::none;
}

std::size_t encode_tool_package_entry_head(std::u16string_view name, std::uint64_t data_size,
                                           std::uint8_t* out) {
    const auto name_size = static_cast<std::uint32_t>(name.size() * 2);
    std::uint8_t* at = out;
    for (std::size_t i = 0; i < 4; ++i)
        *at++ = static_cast<std::uint8_t>(name_size >> (8 * i));
    for (const char16_t unit : name) {
        *at++ = static_cast<std::uint8_t>(unit & 0xFF);
        *at++ = static_cast<std::uint8_t>(unit >> 8);
    }
    for (std::size_t i = 0; i < 8; ++i)
        *at++ = static_cast<std::uint8_t>(data_size >> (8 * i));
    return static_cast<std::size_t>(at - out);
}

Bytes tool_package_entry_head(std::u16string_view name, std::uint64_t data_size) {
    Bytes head(12 + name.size() * 2);
    encode_tool_package_entry_head(name, data_size, head.data());
    return head;
}

} // namespace kp
