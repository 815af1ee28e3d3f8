// kpack tools append: a host executable's bytes, a tool package made from a folder, the trailer.
#pragma once

#include <filesystem>

namespace kp::pack {

struct AppendRequest {
    std::filesystem::path host;
    std::filesystem::path directory;
    std::filesystem::path output;
    bool replace = false; // HOST's own package is dropped and a new one appended
};

// Writes the output, or prints one line naming the refused file and gives a non-zero code.
int append_tool_package_file(const AppendRequest& request);

} // namespace kp::pack
