// Runs one tool refresh as its own process, for tests and benchmarks:
//   kp_refresh_tools HOST_IMAGE INSTALL_DIR
// Both paths in the platform's own form. Like the launcher, it reports nothing and exits 0.
#include "platform/program_main.hpp"
#include "tools/tool_slot_rotation.hpp"

#include <algorithm>
#include <cstdio>

namespace {

// The system's form: backslash separators (a Windows path already has them).
std::u16string system_form(std::u16string path) {
    std::replace(path.begin(), path.end(), u'/', u'\\');
    return path;
}

} // namespace

int program_main(const std::vector<std::u16string>& arguments) {
    if (arguments.size() != 2) {
        std::fputs("usage: kp_refresh_tools HOST_IMAGE INSTALL_DIR\n", stderr);
        return 2;
    }
    kp::refresh_tools(system_form(arguments[0]), system_form(arguments[1]));
    return 0;
}
