// What the rest of the POSIX backend needs from file creation.
#pragma once

namespace kp::posix {

// Called by whatever renames or removes names: any directory create_directory made or found may
// be gone.
void forget_known_directories();

} // namespace kp::posix
