// The refresh driver (drivers/kp_refresh_tools.cpp, linked in) with every seam call numbered:
// with KP_KILL_AT_SEAM_CALL=N the process kills itself with SIGKILL just before seam call N.
// Test only: it is built with the fault binding, never shipped.
#include "platform/backend.hpp"
#include "support/fault_binding.hpp"

#include <csignal>
#include <cstdlib>
#include <unistd.h>

namespace {

const long kill_at = [] {
    const char* limit = std::getenv("KP_KILL_AT_SEAM_CALL");
    return limit != nullptr ? std::atol(limit) : 0L;
}();
long seam_calls = 0;

void count_seam_call() {
    if (++seam_calls == kill_at)
        ::kill(::getpid(), SIGKILL);
}

// Set before main runs; the binding's hooks, defined above in this file, are initialised first.
const bool numbered = [] {
    using namespace kp; // the seam's parameter types
#define KP_SEAM(result, name, parameters, arguments)                                                         \
    fault::name = [] parameters -> result {                                                                  \
        count_seam_call();                                                                                   \
        return backend::name arguments;                                                                      \
    };
#include "platform/seam.def"
#undef KP_SEAM
    return true;
}();

} // namespace
