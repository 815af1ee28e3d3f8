// Read-only queries over the running processes.
#pragma once

#include <string>

namespace kp {

// True when a process that can be opened runs from this full image path, letter case aside.
bool is_image_running(const std::u16string& image_path);

// Full image path of this process's parent, or empty.
std::u16string parent_image_path();

} // namespace kp
