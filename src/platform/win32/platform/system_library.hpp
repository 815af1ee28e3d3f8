// DLLs come from System32 only. The launcher sits in a folder its user can write to (often
// Downloads), and Windows looks for a DLL named without a path in the program's own folder
// first: the executable imports only DLLs that Windows always takes from System32 (kernel32,
// user32, gdi32, shell32, ole32, oleaut32, msvcrt), and every other one is loaded from System32
// when first needed, its functions looked up by name.
#pragma once

#include <windows.h>

namespace kp::win32 {

// Makes System32 the only folder from which this process loads DLLs, its own loads and those
// the system's DLLs make for it (SetDefaultDllDirectories). Windows 7 without update KB2533623
// lacks that call; there SystemLibrary still loads by full path.
void restrict_dll_search_to_system32();

// A function of a loaded module by name, or null when the module or the function is missing.
template <typename Function> Function module_function(HMODULE module, const char* name) {
    if (module == nullptr)
        return nullptr;
    // Through void*: GetProcAddress gives one generic function pointer type for all.
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// One System32 DLL by file name ("bcrypt.dll"), loaded when a function of it is first asked for
// and then kept for the life of the process, as a DLL the executable imported would be. Meant
// for objects at namespace scope: constant-initialised, they load nothing before the program's
// entry. Loaded by name rather than path where the system allows it, so that the manifest's
// side-by-side assemblies still apply (comctl32 version 6).
class SystemLibrary {
  public:
    explicit constexpr SystemLibrary(const wchar_t* file_name) : file_name_(file_name) {}
    SystemLibrary(const SystemLibrary&) = delete;
    SystemLibrary& operator=(const SystemLibrary&) = delete;

    // The named function, or null when the DLL or the function is missing.
    template <typename Function> Function function(const char* name) {
        return module_function<Function>(module(), name);
    }

  private:
    HMODULE module();

    const wchar_t* file_name_;
    HMODULE module_ = nullptr;
    bool tried_ = false;
};

} // namespace kp::win32
