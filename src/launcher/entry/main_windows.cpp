// The launcher's entry as a Windows GUI program: arguments are ignored, the exit code is always 0.
#include "launcher/launch_sequence.hpp"
#include "platform/system_library.hpp"

#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    // Before anything can load a DLL: none may come from the launcher's own folder.
    kp::win32::restrict_dll_search_to_system32();
    return kp::run_launcher();
}
