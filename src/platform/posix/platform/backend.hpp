// The posix backend's implementations of the seam, in their own namespace.
#pragma once

#include "platform/platform.hpp"

namespace kp::posix {
#define KP_SEAM(result, name, parameters, arguments) result name parameters;
#include "platform/seam.def"
#undef KP_SEAM
} // namespace kp::posix

namespace kp {
namespace backend = posix;
}
