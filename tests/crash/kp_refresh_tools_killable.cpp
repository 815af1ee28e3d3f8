// The refresh driver (kp_refresh_tools HOST_IMAGE INSTALL_DIR) with every seam call numbered,
// for the crash-consistency test:
//   KP_KILL_AT_SEAM_CALL=N  the process kills itself with SIGKILL just before seam call N;
//   KP_SEAM_CALL_COUNT=FILE  an uninterrupted run writes how many seam calls it made to FILE.
// Test only: it is built with the fault binding, never shipped.
#include "platform/backend.hpp"
#include "platform/program_main.hpp"
#include "support/fault_binding.hpp"
#include "tools/tool_slot_rotation.hpp"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

long kill_at = 0;
long seam_calls = 0;

void count_seam_call() {
    if (++seam_calls == kill_at)
        ::kill(::getpid(), SIGKILL);
}

void number_every_seam_call() {
    using namespace kp; // the seam's parameter types
#define KP_SEAM(result, name, parameters, arguments)                                                         \
    kp::fault::name = [] parameters -> result {                                                              \
        count_seam_call();                                                                                   \
        return kp::backend::name arguments;                                                                  \
    };
#include "platform/seam.def"
#undef KP_SEAM
}

std::u16string system_form(std::u16string path) {
    std::replace(path.begin(), path.end(), u'/', u'\\');
    return path;
}

} // namespace

int program_main(const std::vector<std::u16string>& arguments) {
    if (arguments.size() != 2) {
        std::fputs("usage: kp_refresh_tools_killable HOST_IMAGE INSTALL_DIR\n", stderr);
        return 2;
    }
    if (const char* limit = std::getenv("KP_KILL_AT_SEAM_CALL"))
        kill_at = std::atol(limit);
    number_every_seam_call();
    kp::refresh_tools(system_form(arguments[0]), system_form(arguments[1]));
    if (const char* count_file = std::getenv("KP_SEAM_CALL_COUNT")) {
        if (std::FILE* out = std::fopen(count_file, "w")) {
            std::fprintf(out, "%ld\n", seam_calls);
            std::fclose(out);
        }
    }
    return 0;
}
