// Demo of the progress window (not shipped): kp_progress_demo PERMILLE SECONDS opens the
// window, moves the bar to PERMILLE, keeps it painted for SECONDS and closes it.
#include "platform/program_main.hpp"
#include "ui/progress_window.hpp"

#include <cstdio>
#include <optional>

namespace {

constexpr std::uint32_t PUMP_INTERVAL_MS = 20;

// A plain decimal number no greater than limit.
std::optional<std::uint32_t> parse_number(const std::u16string& text, std::uint32_t limit) {
    std::uint32_t value = 0;
    for (const char16_t unit : text) {
        value = value * 10 + static_cast<std::uint32_t>(unit - u'0');
        if (unit < u'0' || unit > u'9' || value > limit)
            return std::nullopt;
    }
    return text.empty() ? std::nullopt : std::optional(value);
}

} // namespace

int program_main(const std::vector<std::u16string>& arguments) {
    const auto permille = arguments.size() == 2 ? parse_number(arguments[0], 1000) : std::nullopt;
    const auto seconds = arguments.size() == 2 ? parse_number(arguments[1], 3600) : std::nullopt;
    if (!permille || !seconds) {
        std::fputs("usage: kp_progress_demo PERMILLE SECONDS (PERMILLE 0..1000, SECONDS 0..3600)\n", stderr);
        return 2;
    }
    const kp::WindowHandle frame = kp::open_progress_window();
    kp::set_progress_permille(*permille);
    kp::pump_messages();
    for (std::uint32_t waited = 0; waited < *seconds * 1000; waited += PUMP_INTERVAL_MS) {
        kp::sys::sleep_ms(PUMP_INTERVAL_MS);
        kp::pump_messages();
    }
    kp::close_progress_window(frame);
    return 0;
}
