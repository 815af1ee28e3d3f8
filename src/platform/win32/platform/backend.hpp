// The win32 backend's implementations of the seam, in their own namespace.
#pragma once

#include "platform/platform.hpp"

namespace kp::win32 {
#define KP_SEAM(result, name, parameters, arguments) result name parameters;
#include "platform/seam.def"
#undef KP_SEAM

// What a failed rename's error code says: busy (worth trying again) or refused.
MoveResult move_result_of_error(std::uint32_t error);
} // namespace kp::win32

namespace kp {
namespace backend = win32;
}
