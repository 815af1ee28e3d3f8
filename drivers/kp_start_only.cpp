// The baseline of the launch benchmark: starts one program from a working directory, the way the
// launcher starts the application, without waiting, and exits.
#include "platform/platform.hpp"
#include "platform/program_main.hpp"

#include <cstdio>

int program_main(const std::vector<std::u16string>& arguments) {
    if (arguments.size() != 2) {
        std::fputs("usage: kp_start_only PROGRAM WORKING_DIRECTORY\n", stderr);
        return 2;
    }
    return kp::sys::start_process(arguments[0], u"\"" + arguments[0] + u"\"", arguments[1]) ? 0 : 1;
}
