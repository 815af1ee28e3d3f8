// The launcher's entry as a Windows GUI program: arguments are ignored, the exit code is always 0.
#include "launcher/launch_sequence.hpp"

#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    return kp::run_launcher();
}
