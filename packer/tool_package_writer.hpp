// Building tool packages in memory: the entry stream, its identifier and the 64-byte trailer.
// Nothing here checks names; callers that need the reader's rules apply them first.
#pragma once

#include "common/text.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace kp::pack {

struct ToolFile {
    std::u16string name; // relative, backslash separated
    Bytes data;
};

inline constexpr std::size_t TRAILER_SIZE = 64;

// The head of one entry: name_size, the UTF-16LE name, data_size (the data follows it).
Bytes entry_header(std::u16string_view name, std::uint64_t data_size);

// Zero bytes to write after a stream ending at stream_end so that the trailer that follows ends
// on an 8-byte boundary: a signing tool pads to 8 bytes before it adds the certificate table,
// and nothing may come between the trailer and that table.
std::uint64_t padding_before_trailer(std::uint64_t stream_end);

// One entry: name_size, UTF-16LE name, data_size, data.
void append_entry(Bytes& stream, std::u16string_view name, const Bytes& data);
Bytes build_entry_stream(const std::vector<ToolFile>& files);

// The first 16 bytes of the stream's SHA-256 as 32 lowercase hexadecimal ASCII digits.
std::string package_identifier(const Bytes& stream);

// magic, package_offset, package_size, the 32 identifier bytes, 8 reserved zero bytes.
Bytes build_trailer(std::uint64_t package_offset, std::uint64_t package_size, std::string_view identifier);

// host + entry stream + zero padding to an 8-byte boundary + trailer (which then also ends on
// one, so that a signing tool adds the certificate table right after it).
Bytes append_tool_package(const Bytes& host, const std::vector<ToolFile>& files);

} // namespace kp::pack
