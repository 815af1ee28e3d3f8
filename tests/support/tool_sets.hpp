// Tool sets on disk for the rotation tests: relative names with '/' separators -> content.
#pragma once

#include "sandbox.hpp"
#include "tool_package_writer.hpp"

#include <algorithm>
#include <map>
#include <optional>

namespace kp::test {

using FileSet = std::map<std::string, Bytes>;

// A published set: the package's files and the marker holding its identifier in UTF-16LE.
inline FileSet published(const std::vector<pack::ToolFile>& tools) {
    FileSet set;
    for (const auto& tool : tools) {
        std::string name = utf16_to_utf8(tool.name);
        std::replace(name.begin(), name.end(), '\\', '/');
        set[name] = tool.data;
    }
    set[".kp_ai"] = utf16le_bytes(utf8_to_utf16(pack::package_identifier(pack::build_entry_stream(tools))));
    return set;
}

// Every regular file under root; nothing when root is absent.
inline std::optional<FileSet> files_under(const std::filesystem::path& root) {
    if (!std::filesystem::exists(root))
        return std::nullopt;
    FileSet set;
    for (const auto& item : std::filesystem::recursive_directory_iterator(root))
        if (!item.is_directory())
            set[std::filesystem::relative(item.path(), root).generic_string()] = read_native(item.path());
    return set;
}

inline void write_set(const std::filesystem::path& root, const FileSet& set) {
    std::filesystem::create_directories(root);
    for (const auto& [name, content] : set)
        write_native(root / name, content);
}

} // namespace kp::test
