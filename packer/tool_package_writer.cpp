#include "tool_package_writer.hpp"

#include "tools/sha256_hasher.hpp"
#include "tools/tool_package_format.hpp"

#include <algorithm>
#include <cstring>

namespace kp::pack {

namespace {

template <typename Integer> void append_le(Bytes& out, Integer value) {
    for (std::size_t i = 0; i < sizeof(Integer); ++i)
        out.push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(value) >> (8 * i)));
}

} // namespace

Bytes entry_header(std::u16string_view name, std::uint64_t data_size) {
    return tool_package_entry_head(name, data_size);
}

std::uint64_t padding_before_trailer(std::uint64_t stream_end) {
    return (8 - stream_end % 8) % 8;
}

void append_entry(Bytes& stream, std::u16string_view name, const Bytes& data) {
    const Bytes head = tool_package_entry_head(name, data.size());
    stream.insert(stream.end(), head.begin(), head.end());
    stream.insert(stream.end(), data.begin(), data.end());
}

Bytes build_entry_stream(const std::vector<ToolFile>& files) {
    Bytes stream;
    for (const ToolFile& file : files)
        append_entry(stream, file.name, file.data);
    return stream;
}

std::string package_identifier(const Bytes& stream) {
    Sha256Hasher hasher;
    hasher.open();
    for (std::size_t offset = 0; offset < stream.size(); offset += 0x40000000) {
        const std::size_t chunk = std::min<std::size_t>(stream.size() - offset, 0x40000000);
        hasher.update(stream.data() + offset, static_cast<std::uint32_t>(chunk));
    }
    return utf16_to_utf8(hasher.finish_hex());
}

Bytes build_trailer(std::uint64_t package_offset, std::uint64_t package_size, std::string_view identifier) {
    Bytes trailer;
    trailer.reserve(TRAILER_SIZE);
    const char magic[] = "KPAIPAK1";
    trailer.insert(trailer.end(), magic, magic + 8);
    append_le<std::uint64_t>(trailer, package_offset);
    append_le<std::uint64_t>(trailer, package_size);
    for (std::size_t i = 0; i < 32; ++i)
        trailer.push_back(i < identifier.size() ? static_cast<std::uint8_t>(identifier[i]) : 0);
    trailer.resize(TRAILER_SIZE, 0);
    return trailer;
}

Bytes append_tool_package(const Bytes& host, const std::vector<ToolFile>& files) {
    const Bytes stream = build_entry_stream(files);
    Bytes out = host;
    out.insert(out.end(), stream.begin(), stream.end());
    out.resize(out.size() + padding_before_trailer(out.size()), 0);
    const Bytes trailer = build_trailer(host.size(), stream.size(), package_identifier(stream));
    out.insert(out.end(), trailer.begin(), trailer.end());
    return out;
}

} // namespace kp::pack
