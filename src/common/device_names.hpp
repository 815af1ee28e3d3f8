// Names that Windows maps to a device in any directory (CON, NUL, COM1, ...): a file written
// under such a name leaves the folder it was meant for.
#pragma once

#include <string_view>

namespace kp {

// Whether any component of the name (split at either separator, up to the first zero unit) is
// a device name, with any extension and trailing spaces.
bool names_a_device(std::u16string_view name);

} // namespace kp
