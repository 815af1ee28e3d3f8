// Runs one tool refresh as its own process, for tests and benchmarks:
//   kp_refresh_tools HOST_IMAGE INSTALL_DIR
// Both paths in the platform's own form. Like the launcher, it reports nothing and exits 0.
#include "platform/program_main.hpp"
#include "tools/tool_slot_rotation.hpp"

#include <algorithm>
#include <cstdio>

int program_main(const std::vector<std::u16string>& arguments) {
    if (arguments.size() != 2) {
        std::fputs("usage: kp_refresh_tools HOST_IMAGE INSTALL_DIR\n", stderr);
        return 2;
    }
    // Both in the system's form: backslash separators (a Windows path already has them).
    std::u16string host = arguments[0], install_dir = arguments[1];
    for (std::u16string* path : {&host, &install_dir})
        std::replace(path->begin(), path->end(), u'/', u'\\');
    kp::refresh_tools(host, install_dir);
    return 0;
}
