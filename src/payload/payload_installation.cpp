// PLACEHOLDER: replaced by the payload installation work.
#include "payload/payload_installation.hpp"

namespace kp {
void install_payload(const std::u16string&, const std::u16string&, const std::u16string&, const std::u16string&) {}
bool extract_zip_with_shell(const std::u16string&, const std::u16string&) { return false; }
} // namespace kp
