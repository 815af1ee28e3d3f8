// The launcher's whole run: install when outdated, start the application, refresh the tools.
#pragma once

#include <string>

namespace kp {

// Returns 0 on every path.
int run_launcher();

// The launcher executable's directory, without a trailing separator; "." when unknown.
std::u16string module_directory();

} // namespace kp
