// Test only: loads each DLL named on the command line by its bare name, as a program that does
// not restrict its DLL search does (its own folder first); exits 1 when one did not load.
//   kp_load_library NAME.dll...
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
    int status = 0;
    for (int i = 1; i < argc; ++i)
        if (LoadLibraryW(argv[i]) == nullptr)
            status = 1;
    return status;
}
