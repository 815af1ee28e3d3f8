// The launcher's entry on POSIX: arguments are ignored, the exit code is always 0.
#include "launcher/launch_sequence.hpp"

int main() {
    return kp::run_launcher();
}
