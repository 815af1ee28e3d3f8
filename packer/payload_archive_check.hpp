// Whether an application archive installs as the launcher needs it: the shell can reproduce
// every entry faithfully, and kestrin_pad.exe is at the root, where the launcher waits for it.
#pragma once

#include "common/text.hpp"
#include "zip_archive.hpp"

#include <string>
#include <vector>

namespace kp::pack {

inline constexpr std::string_view APPLICATION_NAME = "kestrin_pad.exe";

// The first problem of a listed archive whose directory_problem is empty, as one phrase; empty
// when the archive installs. Refused: encrypted entries, methods other than stored and deflate,
// links and other special files, and a root without kestrin_pad.exe.
std::string install_problem(const std::vector<ZipEntry>& entries);

// What the launcher's own reading of the archive's central directory refuses, as one phrase:
// a damaged directory, non-ASCII names without the UTF-8 flag, names equal but for letter case,
// names the shell would place elsewhere, device names, and paths Windows cannot create under the install
// folder. Empty when the archive passes.
std::string directory_problem(const Bytes& archive);

struct RootItem {
    std::string name;
    bool folder = false;
    std::uint64_t size = 0;       // a folder's is the sum of its files' sizes
    std::uint64_t file_count = 1; // the files under a folder
};

// The archive's root items by name: its root files and the first level of its folders.
std::vector<RootItem> root_items(const std::vector<ZipEntry>& entries);
bool has_application_at_root(const std::vector<ZipEntry>& entries);

} // namespace kp::pack
