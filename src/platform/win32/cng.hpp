// Releasing CNG handles, for close_handle: bcrypt.dll is loaded at run time (crypto.cpp).
#pragma once

#include <cstdint>

namespace kp::win32 {

void close_algorithm_provider(std::uintptr_t raw);
void destroy_hash(std::uintptr_t raw);

} // namespace kp::win32
