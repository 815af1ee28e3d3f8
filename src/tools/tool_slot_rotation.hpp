// Keeping the install directory's tool set in step with the host image's tool package.
#pragma once

#include <cstdint>
#include <string>

namespace kp {

inline constexpr std::uint64_t FREE_SPACE_MARGIN = 0x10000000; // 256 MiB beyond the package size

void refresh_tools(const std::u16string& host_image_path, const std::u16string& install_dir);

// Removes a directory tree or a file without any user interface; nothing when it is absent.
void delete_tree(const std::u16string& path);

} // namespace kp
