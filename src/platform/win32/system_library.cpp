#include "platform/system_library.hpp"

#include <cwchar>

namespace kp::win32 {

namespace {

using SetDefaultDllDirectoriesCall = decltype(&SetDefaultDllDirectories);

// Present from Windows 8 on, and on Windows 7 with update KB2533623, which also brought the
// LOAD_LIBRARY_SEARCH_ flags of LoadLibraryExW.
SetDefaultDllDirectoriesCall set_default_dll_directories() {
    return module_function<SetDefaultDllDirectoriesCall>(GetModuleHandleW(L"kernel32.dll"),
                                                         "SetDefaultDllDirectories");
}

// Without the search flags: the full path, the DLL's own imports then looked for beside it first.
HMODULE load_by_system32_path(const wchar_t* file_name) {
    wchar_t path[MAX_PATH];
    const UINT length = GetSystemDirectoryW(path, MAX_PATH);
    const std::size_t name_length = std::wcslen(file_name);
    if (length == 0 || length + 1 + name_length >= MAX_PATH)
        return nullptr;
    path[length] = L'\\';
    std::wmemcpy(path + length + 1, file_name, name_length + 1);
    return LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

} // namespace

void restrict_dll_search_to_system32() {
    if (const SetDefaultDllDirectoriesCall restrict = set_default_dll_directories())
        restrict(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

HMODULE SystemLibrary::module() {
    if (!tried_) {
        tried_ = true;
        module_ = set_default_dll_directories() != nullptr
                      ? LoadLibraryExW(file_name_, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)
                      : load_by_system32_path(file_name_);
    }
    return module_;
}

} // namespace kp::win32
