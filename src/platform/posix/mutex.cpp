// PLACEHOLDER: replaced by the launch sequence work.
#include "platform/backend.hpp"

namespace kp::posix {
MutexHandle create_named_mutex(const std::u16string&) { return {}; }
void wait_for_mutex(const MutexHandle&) {}
void release_mutex(const MutexHandle&) {}
} // namespace kp::posix
