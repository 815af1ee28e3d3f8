// Keeping the install directory's tool set in step with the host image's tool package.
#pragma once

#include "common/space_rules.hpp"

#include <cstdint>
#include <string>

namespace kp {

// A rename of a slot that fails in a way that may pass is tried again. A virus scanner opens each
// new executable or DLL just after it is written, and while it reads one Windows refuses to
// rename the folder holding it, for tens to hundreds of milliseconds. The waits between tries
// double from the first to the longest; the waiting for one rename ends at its patience.
inline constexpr std::uint32_t RENAME_FIRST_WAIT_MS = 50;
inline constexpr std::uint32_t RENAME_LONGEST_WAIT_MS = 500;
// The publishing rename, right after the unpack has written every file.
inline constexpr std::uint32_t PUBLISHING_RENAME_PATIENCE_MS = 5000;
// The move aside and the restores. While the application runs with a tool DLL loaded, the move
// aside keeps failing, and every launch meets that: it must not wait long.
inline constexpr std::uint32_t ASIDE_RENAME_PATIENCE_MS = 1000;
// While the progress window is up, its messages are handled at least this often during a wait.
inline constexpr std::uint32_t WINDOW_PUMP_INTERVAL_MS = 50;

void refresh_tools(const std::u16string& host_image_path, const std::u16string& install_dir);

// Removes a directory tree or a file without any user interface; nothing when it is absent.
void delete_tree(const std::u16string& path);

} // namespace kp
