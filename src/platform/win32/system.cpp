// The process's surroundings on Windows.
#include "platform/backend.hpp"
#include "win32_util.hpp"

#include <knownfolders.h>
#include <objbase.h>
#include <shlobj.h>

namespace kp::win32 {

void com_initialize() {
    CoInitialize(nullptr);
}
void com_uninitialize() {
    CoUninitialize();
}

std::u16string module_file_name() {
    wchar_t buffer[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    // A path of 260 units or more comes back truncated; it counts as none.
    if (length == 0 || length >= MAX_PATH)
        return {};
    return from_wide(buffer, length);
}

std::u16string local_app_data_folder() {
    PWSTR folder = nullptr;
    if (FAILED(SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &folder)))
        return {};
    std::u16string text = from_wide(folder, wcslen(folder));
    CoTaskMemFree(folder);
    return text;
}

std::u16string temp_directory() {
    wchar_t buffer[MAX_PATH] = {};
    const DWORD length = GetTempPathW(MAX_PATH, buffer);
    if (length == 0 || length >= MAX_PATH)
        return {};
    return from_wide(buffer, length);
}

std::uint32_t current_process_id() {
    return GetCurrentProcessId();
}

void sleep_ms(std::uint32_t milliseconds) {
    Sleep(milliseconds);
}

} // namespace kp::win32
