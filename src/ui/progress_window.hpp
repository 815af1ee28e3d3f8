// The progress notice shown while a tool set unpacks. The four operations are part of the
// platform seam (kp::sys), implemented by the Win32 backend and by the X11 one on POSIX.
#pragma once

#include "platform/platform.hpp"

#include <string_view>

namespace kp {

// Two sentences joined by a single line feed.
inline constexpr std::u16string_view PROGRESS_TEXT =
    u"Kestrin Pad: getting Orvel Board's smart tools ready.\n"
    u"They appear in it when this is done (once for each new version).";

inline WindowHandle open_progress_window() {
    return sys::open_progress_window();
}
inline void set_progress_permille(std::uint32_t permille) {
    sys::set_progress_permille(permille);
}
inline void pump_messages() {
    sys::pump_messages();
}
inline void close_progress_window(WindowHandle frame) {
    sys::close_progress_window(frame);
}

} // namespace kp
