// Memory for whole-file buffers on Windows.
#include "platform/backend.hpp"

namespace kp::win32 {

// Large pages need a privilege that an ordinary user does not hold: plain allocation it is.
void prepare_buffer_memory(void*, std::size_t) {}

} // namespace kp::win32
