// A read-only look at the progress window's module-level state, for tests: the bar's window
// and the label's font, as raw values (0 for none). Each window backend defines it.
#pragma once

#include <cstdint>

namespace kp {

struct ProgressWindowStateView {
    std::uintptr_t bar = 0;
    std::uintptr_t font = 0;
};

ProgressWindowStateView progress_window_state();

} // namespace kp
