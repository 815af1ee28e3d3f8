// POSIX paths seen in Windows form: "/a/b" is "\a\b" inside the system.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kp::posix {

std::string to_native_path(std::u16string_view path);
std::u16string from_native_path(std::string_view path);

// Raw handle values: 0 means "no handle", so descriptors are stored plus one.
inline std::uintptr_t raw_from_fd(int fd) {
    return fd < 0 ? 0 : static_cast<std::uintptr_t>(fd) + 1;
}
inline int fd_from_raw(std::uintptr_t raw) {
    return static_cast<int>(raw) - 1;
}

// Releases for handle kinds owned by other files of this backend.
void release_snapshot(std::uintptr_t raw);
void release_hash_algorithm(std::uintptr_t raw);
void release_hash(std::uintptr_t raw);

} // namespace kp::posix
