// The progress window on Windows: a STATIC frame without caption holding a STATIC label and a
// common-controls progress bar, placed in the lower right corner of the primary work area.
#include "platform/backend.hpp"
#include "platform/system_library.hpp"
#include "ui/progress_geometry.hpp"
#include "ui/progress_window.hpp"
#include "ui/progress_window_state.hpp"
#include "win32_util.hpp"

#include <commctrl.h>

namespace kp {
namespace {

// The module-level state: the bar is kept for set_progress_permille, the font until close.
struct ProgressWindow {
    HWND bar = nullptr;
    HFONT font = nullptr;
};
ProgressWindow progress_window;
win32::SystemLibrary comctl32(L"comctl32.dll");

// The record size that includes iPaddedBorderWidth.
constexpr UINT NONCLIENT_METRICS_SIZE = 504;
static_assert(sizeof(NONCLIENTMETRICSW) == NONCLIENT_METRICS_SIZE);
static_assert(sizeof(INITCOMMONCONTROLSEX) == 8);

int screen_dpi() {
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    return dpi;
}

HFONT create_message_box_font() {
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = NONCLIENT_METRICS_SIZE;
    if (!SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, NONCLIENT_METRICS_SIZE, &metrics, 0))
        return nullptr;
    return CreateFontIndirectW(&metrics.lfMessageFont);
}

// The whole screen stands when the work area cannot be read.
RECT primary_work_area() {
    RECT area{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
    return area;
}

// comctl32 comes from System32 (in version 6 through the manifest) when the window first opens.
// Without it the bar's class stays unregistered and the bar is simply missing.
void register_progress_bar_class() {
    const auto init = comctl32.function<decltype(&InitCommonControlsEx)>("InitCommonControlsEx");
    INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS};
    if (init != nullptr)
        init(&controls);
}

HWND create_child(const wchar_t* window_class, const wchar_t* text, const PixelRect& place, HWND parent) {
    return CreateWindowExW(0, window_class, text, WS_CHILD | WS_VISIBLE, place.x, place.y, place.width,
                           place.height, parent, nullptr, nullptr, nullptr);
}

} // namespace

ProgressWindowStateView progress_window_state() {
    return {reinterpret_cast<std::uintptr_t>(progress_window.bar),
            reinterpret_cast<std::uintptr_t>(progress_window.font)};
}

namespace win32 {

WindowHandle open_progress_window() {
    SetProcessDPIAware();
    const int dpi = screen_dpi();
    register_progress_bar_class();
    progress_window.font = create_message_box_font();
    const RECT work_area = primary_work_area();
    const ProgressGeometry geometry = progress_geometry(dpi, work_area.right, work_area.bottom);

    const PixelRect& place = geometry.frame;
    HWND frame = CreateWindowExW(WS_EX_TOPMOST | WS_EX_TOOLWINDOW | WS_EX_NOACTIVATE, L"STATIC", L"",
                                 WS_POPUP | WS_BORDER, place.x, place.y, place.width, place.height, nullptr,
                                 nullptr, GetModuleHandleW(nullptr), nullptr);
    const std::u16string text(PROGRESS_TEXT);
    HWND label = create_child(L"STATIC", wide(text), geometry.label, frame);
    if (progress_window.font)
        SendMessageW(label, WM_SETFONT, reinterpret_cast<WPARAM>(progress_window.font), TRUE);
    progress_window.bar = create_child(PROGRESS_CLASSW, nullptr, geometry.bar, frame);
    SendMessageW(progress_window.bar, PBM_SETRANGE32, 0, 1000);
    ShowWindow(frame, SW_SHOWNOACTIVATE);
    UpdateWindow(frame);
    return reinterpret_cast<WindowHandle>(frame);
}

void set_progress_permille(std::uint32_t permille) {
    SendMessageW(progress_window.bar, PBM_SETPOS, permille, 0);
}

// Every waiting message is dispatched, WM_QUIT included: nothing here ends the unpack.
void pump_messages() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

// The label goes with its parent before the font it uses is freed.
void close_progress_window(WindowHandle frame) {
    DestroyWindow(reinterpret_cast<HWND>(frame));
    if (progress_window.font)
        DeleteObject(progress_window.font);
    progress_window.font = nullptr;
}

} // namespace win32
} // namespace kp
