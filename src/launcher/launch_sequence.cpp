// PLACEHOLDER: replaced by the launch sequence work.
#include "launcher/launch_sequence.hpp"

namespace kp {
int run_launcher() { return 0; }
std::u16string module_directory() { return u"."; }
} // namespace kp
