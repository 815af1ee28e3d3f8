// What the rest of the POSIX backend needs from file creation.
#pragma once

namespace kp::posix {

// Called by whatever renames or removes names: any directory create_directory made or found may
// be gone, and the files written so far are closed first (deferred_close.hpp).
void before_names_change();

} // namespace kp::posix
