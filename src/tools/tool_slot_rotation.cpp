// PLACEHOLDER: replaced by the slot rotation work.
#include "tools/tool_slot_rotation.hpp"

namespace kp {
void refresh_tools(const std::u16string&, const std::u16string&) {}
void delete_tree(const std::u16string&) {}
} // namespace kp
