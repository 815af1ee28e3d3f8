// Streaming a tool package's entries into the staging directory, verified by its identifier.
#pragma once

#include "tools/tool_package_format.hpp"

#include <cstdint>
#include <string>

namespace kp {

inline constexpr std::uint32_t COPY_BUFFER_SIZE = 4 * 1024 * 1024;

// True when every entry was written in full and the stream's identifier equals package_id.
bool unpack_tool_package(const FileHandle& host_file, const ToolPackageTrailer& trailer,
                         const std::u16string& staging_dir);

} // namespace kp
