// PLACEHOLDER: replaced by the tool package work.
#include "tool_commands.hpp"

#include <cstdio>

namespace kp::pack {

int run_tools_command(const std::vector<std::u16string>&) {
    std::fputs("kpack tools: not available yet\n", stderr);
    return 2;
}

} // namespace kp::pack
