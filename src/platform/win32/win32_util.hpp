// Small bridges between the seam's types and Win32's.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace kp::win32 {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 wchar_t expected");

inline const wchar_t* wide(const std::u16string& text) {
    return reinterpret_cast<const wchar_t*>(text.c_str());
}
inline std::u16string from_wide(const wchar_t* text, std::size_t length) {
    return std::u16string(reinterpret_cast<const char16_t*>(text), length);
}

// Raw handle values: 0 means "no handle"; both null and INVALID_HANDLE_VALUE map to it.
inline std::uintptr_t raw_from_handle(HANDLE handle) {
    return handle == INVALID_HANDLE_VALUE ? 0 : reinterpret_cast<std::uintptr_t>(handle);
}
inline HANDLE handle_from_raw(std::uintptr_t raw) {
    return reinterpret_cast<HANDLE>(raw);
}

} // namespace kp::win32
