// The tool package appended to a host executable: where the host's content ends (in front of a
// certificate table), the 64-byte trailer, and the rules an entry must meet.
#pragma once

#include "common/space_rules.hpp"
#include "platform/platform.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kp {

inline constexpr std::uint64_t TOOL_PACKAGE_TRAILER_SIZE = 64;
inline constexpr std::string_view TOOL_PACKAGE_MAGIC = "KPAIPAK1";

struct ToolPackageTrailer {
    std::uint64_t package_offset = 0;
    std::uint64_t package_size = 0;
    std::u16string package_id; // exactly 32 units, each byte sign-extended
};

// The fixed-size head and tail of one entry of the stream.
struct ToolPackageEntry {
    std::uint32_t name_size = 0;
    std::u16string name;
    std::uint64_t data_size = 0;
};

// The longest name an entry may have, in bytes, and so the longest head.
inline constexpr std::uint32_t MAX_NAME_SIZE = 2046;
inline constexpr std::size_t MAX_ENTRY_HEAD_SIZE = 12 + MAX_NAME_SIZE;

// An entry's head exactly as stored: name_size, the UTF-16LE name, data_size. The encoding
// writes 12 + 2 * name.size() bytes to out and returns that count.
std::size_t encode_tool_package_entry_head(std::u16string_view name, std::uint64_t data_size,
                                           std::uint8_t* out);
Bytes tool_package_entry_head(std::u16string_view name, std::uint64_t data_size);

// Offset of the certificate table when it reaches exactly to the end of the file, else file_size.
std::uint64_t find_content_end(const FileHandle& file, std::uint64_t file_size);

// The trailer of a valid package in front of the content end, or nothing.
std::optional<ToolPackageTrailer> read_tool_package_trailer(const FileHandle& file, std::uint64_t file_size);

// Entry acceptance, applied in this order by the unpacker.
bool is_valid_name_size(std::uint32_t name_size);
bool is_acceptable_entry_name(std::u16string_view name);

// Why an entry was refused, in the order the checks run.
enum class EntryProblem { none, unreadable, bad_name_size, refused_name, device_name, beyond_stream };

// The launcher's acceptance of an entry name: the format's name rules, then device names (see
// common/device_names.hpp). The unpacker (through read_tool_package_entry), kpack's writer and
// kpack's inspection all decide with this one rule.
EntryProblem entry_name_problem(std::u16string_view name);

// Reads the entry that starts at position and applies the acceptance rules above in the
// unpacker's order: name_size, name, data_size are read, then entry_name_problem, then the entry's
// end is checked against stream_end. On success fills entry and data_start (where its data
// begins). Moves the file pointer.
EntryProblem read_tool_package_entry(const FileHandle& file, std::uint64_t position, std::uint64_t stream_end,
                                     ToolPackageEntry& entry, std::uint64_t& data_start);

// The 32 identifier bytes as 32 code units, each byte sign-extended (0x80 becomes 0xFF80).
std::u16string package_id_text(const std::uint8_t* bytes);

} // namespace kp
