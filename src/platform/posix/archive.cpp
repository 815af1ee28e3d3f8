// PLACEHOLDER: replaced by the payload installation work.
#include "platform/backend.hpp"

namespace kp::posix {
bool shell_extract_zip(const std::u16string&, const std::u16string&) { return false; }
} // namespace kp::posix
