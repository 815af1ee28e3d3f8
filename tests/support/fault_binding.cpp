#include "fault_binding.hpp"

#include "platform/backend.hpp"

namespace kp::fault {

void reset() {
#define KP_SEAM(result, name, parameters, arguments) name = nullptr;
#include "platform/seam.def"
#undef KP_SEAM
    calls = CallCounts{};
}

} // namespace kp::fault

namespace kp::sys {
#define KP_SEAM(result, name, parameters, arguments)                                                    \
    result name parameters {                                                                            \
        ++fault::calls.name;                                                                            \
        if (fault::name)                                                                                \
            return fault::name arguments;                                                               \
        return backend::name arguments;                                                                 \
    }
#include "platform/seam.def"
#undef KP_SEAM
} // namespace kp::sys
