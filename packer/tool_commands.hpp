// kpack tools: appending a tool package to a host executable, and inspecting one.
#pragma once

#include <string>
#include <vector>

namespace kp::pack {

int run_tools_command(const std::vector<std::u16string>& arguments);

} // namespace kp::pack
