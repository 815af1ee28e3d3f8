// The files of a tool package, collected from a folder in the order the launcher can unpack them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kp::pack {

struct SourceFile {
    std::filesystem::path path;
    std::u16string name; // relative to the folder, backslash separated
    std::uint64_t size = 0;
};

struct Refusal {
    std::filesystem::path path;
    std::string problem;
};

// Every regular file under directory: its own files first (by name), then each subdirectory's
// in turn, so that every directory's files follow its parent's. Refused: anything that is not a
// regular file or directory, names that are not UTF-8 or hold a backslash, and what ToolSetRules
// refuses. On a refusal, says which path and why, and gives nothing.
std::optional<std::vector<SourceFile>> collect_tool_files(const std::filesystem::path& directory,
                                                          Refusal& refusal);

} // namespace kp::pack
