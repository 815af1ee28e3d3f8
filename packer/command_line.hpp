// kpack's command line: the payload and tools commands, their options, help and usage errors.
#pragma once

namespace kp::pack {

// Parses argv (narrow text: UTF-8, or a POSIX file name's bytes) and runs the command. Exit
// codes: 0 done, 1 refused or failed (one line on stderr), 2 a usage error (one line naming it,
// then the usage).
int run_kpack(int argc, const char* const* argv);

} // namespace kp::pack
