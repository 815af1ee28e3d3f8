// kpack: the build-side tool that makes what the launcher reads (app.enc, tool packages).
#include "command_line.hpp"
#include "platform/narrow_program_main.hpp"

int narrow_program_main(int argc, const char* const* argv) {
    return kp::pack::run_kpack(argc, argv);
}
