// kpack: the build-side tool that makes what the launcher reads (app.enc, tool packages).
#include "build_identity.hpp"
#include "payload_commands.hpp"
#include "platform/program_main.hpp"
#include "tool_commands.hpp"

#include <cstdio>

namespace {

constexpr const char* kpack_usage =
    "usage: kpack payload encrypt|decrypt|inspect ...   make, undo or check app.enc\n"
    "       kpack tools append|inspect ...              tool packages on host executables\n"
    "       kpack --version                             this build's identity\n"
    "\n"
    "'kpack payload --help' and 'kpack tools --help' tell more.\n";

} // namespace

int program_main(const std::vector<std::u16string>& arguments) {
    if (arguments.empty() || arguments[0] == u"--help" || arguments[0] == u"-h") {
        std::fputs(kpack_usage, arguments.empty() ? stderr : stdout);
        return arguments.empty() ? 2 : 0;
    }
    if (arguments[0] == u"--version")
        return kp::pack::print_build_identity();
    const std::vector<std::u16string> rest(arguments.begin() + 1, arguments.end());
    if (arguments[0] == u"payload")
        return kp::pack::run_payload_command(rest);
    if (arguments[0] == u"tools")
        return kp::pack::run_tools_command(rest);
    std::fprintf(stderr, "kpack: unknown command\n%s", kpack_usage);
    return 2;
}
