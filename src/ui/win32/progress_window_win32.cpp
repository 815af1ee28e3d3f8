// PLACEHOLDER: replaced by the progress window work.
#include "platform/backend.hpp"

namespace kp::win32 {
WindowHandle open_progress_window() { return 0; }
void set_progress_permille(std::uint32_t) {}
void pump_messages() {}
void close_progress_window(WindowHandle) {}
} // namespace kp::win32
