#include <gtest/gtest.h>

#include "ui/progress_geometry.hpp"
#include "ui/progress_window.hpp"
#include "ui/progress_window_state.hpp"

#ifdef _WIN32
#include <windows.h>

#include <commctrl.h>
#else
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xrandr.h>

#include <cstdlib>
#endif

#include <cstdint>
#include <ostream>
#include <string>
#include <tuple>

namespace kp {
// Failures show rectangles as "x,y widthxheight".
static void PrintTo(const PixelRect& r, std::ostream* out) {
    *out << r.x << "," << r.y << " " << r.width << "x" << r.height;
}
} // namespace kp

namespace kp::test {
namespace {

TEST(ProgressGeometry, LayoutPerDpi) {
    // The dpi, then the frame, label and bar laid out for it.
    const std::tuple<int, PixelRect, PixelRect, PixelRect> cases[] = {
        {96, {1444, 904, 460, 120}, {20, 18, 420, 40}, {20, 72, 420, 18}},
        // 22.5 rounds up: the label's top and the bar's height are 23, not 22.
        {120, {1325, 870, 575, 150}, {25, 23, 525, 50}, {25, 90, 525, 23}},
        // Widths are S(460) - S(40) = 479 - 42, not S(420) = 438.
        {100, {1424, 898, 479, 125}, {21, 19, 437, 42}, {21, 75, 437, 19}},
    };
    for (const auto& [dpi, frame, label, bar] : cases) {
        const ProgressGeometry g = progress_geometry(dpi, 1920, 1040);
        EXPECT_EQ(std::tie(g.frame, g.label, g.bar), std::tie(frame, label, bar)) << dpi << " dpi";
    }
}

// ---- The real window. On POSIX these tests skip without a display; the on-screen suite runs them
// under Xvfb.

struct WorkArea {
    int left = 0, top = 0, right = 0, bottom = 0;
};

#ifdef _WIN32

// Without a desktop (Wine with no display) no window can be created at all.
bool window_system_available() {
    HWND probe = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    DestroyWindow(probe);
    return probe != nullptr;
}
WorkArea work_area() {
    RECT area{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
    return {area.left, area.top, area.right, area.bottom};
}
void set_work_area(const WorkArea& area) {
    RECT rect{area.left, area.top, area.right, area.bottom};
    SystemParametersInfoW(SPI_SETWORKAREA, 0, &rect, 0);
}
PixelRect frame_on_screen(WindowHandle frame) {
    RECT rect{};
    GetWindowRect(reinterpret_cast<HWND>(frame), &rect);
    return {rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top};
}

#else

// The test's own connection, to look at the window from outside. It stays open for the whole
// run: an X server may reset itself, dropping root properties, when its last client goes.
Display* viewer() {
    static Display* const display = XOpenDisplay(nullptr);
    return display;
}
bool window_system_available() {
    return viewer() != nullptr;
}
// No window manager publishes a work area under test: it is the screen.
WorkArea work_area() {
    return {0, 0, DisplayWidth(viewer(), 0), DisplayHeight(viewer(), 0)};
}
void set_root_property(Atom property, Atom type, int format, const void* value, int count) {
    XChangeProperty(viewer(), DefaultRootWindow(viewer()), property, type, format, PropModeReplace,
                    static_cast<const unsigned char*>(value), count);
    XSync(viewer(), False);
}
void set_work_area(const WorkArea& area) {
    const long value[4] = {area.left, area.top, area.right - area.left, area.bottom - area.top};
    set_root_property(XInternAtom(viewer(), "_NET_WORKAREA", False), XA_CARDINAL, 32, value, 4);
}
PixelRect frame_on_screen(WindowHandle frame) {
    XWindowAttributes a{};
    XGetWindowAttributes(viewer(), frame, &a);
    return {a.x, a.y, a.width + 2 * a.border_width, a.height + 2 * a.border_width};
}

#endif

// Every open places the frame in the corner of the current work area and makes a font of its own,
// released on close. Under Windows it never takes the focus, and a WM_QUIT reaching the pump is
// consumed and changes nothing.
TEST(ProgressWindowOnScreen, EachOpenSitsInTheWorkAreasCornerUnfocusedWithAFontOfItsOwn) {
    if (!window_system_available())
        GTEST_SKIP() << "no display";
    const WorkArea s = work_area();
    // No taskbar, then one of 60 pixels on the bottom, right, left and top edge in turn.
    const int taskbars[][4] = {{0, 0, 0, 0}, {0, 0, 0, 60}, {0, 0, 60, 0}, {60, 0, 0, 0}, {0, 60, 0, 0}};
    for (const auto& [left, top, right, bottom] : taskbars) {
        SCOPED_TRACE(testing::Message() << left << "," << top << "," << right << "," << bottom);
        const WorkArea area{s.left + left, s.top + top, s.right - right, s.bottom - bottom};
        set_work_area(area);
        const WindowHandle frame = open_progress_window();
        const PixelRect placed = frame_on_screen(frame);
        const int dpi = (placed.width * 96 + 230) / 460; // read back from the frame's width
        EXPECT_EQ(placed, progress_geometry(dpi, area.right, area.bottom).frame);
        const std::uintptr_t font = progress_window_state().font;
        EXPECT_NE(font, 0u);
#ifdef _WIN32
        EXPECT_NE(GetForegroundWindow(), reinterpret_cast<HWND>(frame)) << "the frame took the focus";
        EXPECT_NE(GetActiveWindow(), reinterpret_cast<HWND>(frame)) << "the frame took the focus";
        set_progress_permille(500);
        PostQuitMessage(0);
        PostThreadMessageW(GetCurrentThreadId(), WM_QUIT, 0, 0);
        pump_messages();
        MSG message;
        EXPECT_FALSE(PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE)); // none left waiting
        EXPECT_TRUE(IsWindowVisible(reinterpret_cast<HWND>(frame)));
        EXPECT_EQ(SendMessageW(reinterpret_cast<HWND>(progress_window_state().bar), PBM_GETPOS, 0, 0), 500);
#endif
        close_progress_window(frame);
        EXPECT_EQ(progress_window_state().font, 0u);
#ifdef _WIN32
        EXPECT_EQ(GetObjectType(reinterpret_cast<HGDIOBJ>(font)), 0u) << "the font was not deleted";
        EXPECT_FALSE(IsWindow(reinterpret_cast<HWND>(frame)));
#endif
    }
    set_work_area(s);
}

#ifndef _WIN32

// Two monitors side by side, the left one primary: the frame sits in the corner of the primary
// monitor's part of the work area, not of the whole desktop's, scaled to the Xft.dpi resource (a
// fractional dpi is rounded).
TEST(ProgressWindowOnScreen, FrameSitsOnThePrimaryMonitorScaledToTheXftDpiResource) {
    if (!window_system_available())
        GTEST_SKIP() << "no display";
    const WorkArea s = work_area();
    const int half = s.right / 2;
    const Atom names[2] = {XInternAtom(viewer(), "KP_LEFT", False), XInternAtom(viewer(), "KP_RIGHT", False)};
    for (int i = 0; i < 2; ++i) {
        XRRMonitorInfo monitor{names[i], i == 0, False, 0, i * half, 0, half, s.bottom, 0, 0, nullptr};
        XRRSetMonitor(viewer(), DefaultRootWindow(viewer()), &monitor);
    }
    set_work_area({0, 0, s.right, s.bottom - 40}); // a panel along the bottom of both
    const std::string resources = "Xft.dpi:\t119.6\n";
    set_root_property(XA_RESOURCE_MANAGER, XA_STRING, 8, resources.data(),
                      static_cast<int>(resources.size()));
    const WindowHandle frame = open_progress_window();
    const PixelRect placed = frame_on_screen(frame);
    close_progress_window(frame);
    for (const Atom name : names)
        XRRDeleteMonitor(viewer(), DefaultRootWindow(viewer()), name);
    set_work_area(s);
    set_root_property(XA_RESOURCE_MANAGER, XA_STRING, 8, "", 0);
    EXPECT_EQ(placed, progress_geometry(120, half, s.bottom - 40).frame);
}

// DISPLAY naming no reachable server, then no DISPLAY at all.
TEST(WithoutDisplay, ProgressWindowCallsAreSafeAndDoNothing) {
    const std::string display = std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "";
    setenv("DISPLAY", ":4093", 1);
    for (int round = 1; round <= 2; ++round) {
        EXPECT_EQ(open_progress_window(), 0u);
        EXPECT_EQ(progress_window_state().font, 0u);
        set_progress_permille(500);
        pump_messages();
        close_progress_window(12345);
        unsetenv("DISPLAY");
    }
    if (!display.empty())
        setenv("DISPLAY", display.c_str(), 1);
}

#endif

} // namespace
} // namespace kp::test
