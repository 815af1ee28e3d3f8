// What the rest of the POSIX backend needs from file creation.
#pragma once

namespace kp::posix {

// Called by whatever renames or removes names: the directory create_directory last made or found
// may be gone.
void forget_known_directory();

} // namespace kp::posix
