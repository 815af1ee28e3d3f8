// Production binding: the seam forwards straight to the backend of this target.
#include "platform/backend.hpp"

namespace kp::sys {
#define KP_SEAM(result, name, parameters, arguments)                                                         \
    result name parameters {                                                                                 \
        return backend::name arguments;                                                                      \
    }
#include "platform/seam.def"
#undef KP_SEAM
} // namespace kp::sys
