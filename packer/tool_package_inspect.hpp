// kpack tools inspect: a file's content end, its tool package trailer and entries, and whether
// the launcher would take the package.
#pragma once

#include <filesystem>

namespace kp::pack {

// Prints the report on stdout (text, or one JSON object with the same field names); 0 only when
// the file carries a package the launcher takes.
int inspect_tool_package(const std::filesystem::path& path, bool json);

} // namespace kp::pack
