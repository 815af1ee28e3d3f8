#include "support/sandbox.hpp"
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

#include <cstdlib>
#include <optional>
#endif

#include <cstdint>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace kp {
// Failures show rectangles as "x,y widthxheight".
static void PrintTo(const PixelRect& r, std::ostream* out) {
    *out << r.x << "," << r.y << " " << r.width << "x" << r.height;
}
} // namespace kp

namespace kp::test {
namespace {

TEST(ProgressGeometry, LengthsRoundHalvesAwayFromZero) {
    struct Case {
        int length, dpi, pixels;
    };
    const Case cases[] = {{18, 120, 23},   {1, 48, 1},   {1, 47, 0},
                          {-18, 120, -23}, {-1, 48, -1}, {30'000'000, 480, 150'000'000}};
    for (const Case& c : cases)
        EXPECT_EQ(scale_to_dpi(c.length, c.dpi), c.pixels) << c.length << " at " << c.dpi << " dpi";
#ifdef _WIN32
    for (int dpi : {72, 96, 108, 120, 144, 168, 192, 240})
        for (int length = -100; length <= 500; ++length)
            ASSERT_EQ(scale_to_dpi(length, dpi), MulDiv(length, dpi, 96)) << length << " at " << dpi;
#endif
}

TEST(ProgressGeometry, LayoutPerDpi) {
    struct Case {
        int dpi;
        PixelRect frame, label, bar;
    };
    const Case cases[] = {
        {96, {1444, 904, 460, 120}, {20, 18, 420, 40}, {20, 72, 420, 18}},
        // 22.5 rounds up: the label's top and the bar's height are 23, not 22.
        {120, {1325, 870, 575, 150}, {25, 23, 525, 50}, {25, 90, 525, 23}},
        {144, {1206, 836, 690, 180}, {30, 27, 630, 60}, {30, 108, 630, 27}},
        // Widths are S(460) - S(40) = 479 - 42, not S(420) = 438.
        {100, {1424, 898, 479, 125}, {21, 19, 437, 42}, {21, 75, 437, 19}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dpi);
        const ProgressGeometry geometry = progress_geometry(c.dpi, 1920, 1040);
        EXPECT_EQ(geometry.frame, c.frame);
        EXPECT_EQ(geometry.label, c.label);
        EXPECT_EQ(geometry.bar, c.bar);
    }
}

// ---- The real window. On POSIX these tests skip without a display; the on-screen suite runs them
// under Xvfb.

struct WorkArea {
    int left = 0, top = 0, right = 0, bottom = 0;
};

// The dpi a frame was laid out for, read back from its width.
int dpi_of(const PixelRect& frame) {
    int dpi = 1;
    while (dpi < 1000 && scale_to_dpi(460, dpi) < frame.width)
        ++dpi;
    return dpi;
}

#ifdef _WIN32

// Without a desktop (Wine with no display) no window can be created at all.
bool window_system_available() {
    HWND probe = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    DestroyWindow(probe);
    return probe != nullptr;
}
WorkArea current_work_area() {
    RECT area{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
    return {area.left, area.top, area.right, area.bottom};
}
WorkArea screen_area() {
    return {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
}
void set_work_area(const WorkArea& area) {
    RECT rect{area.left, area.top, area.right, area.bottom};
    SystemParametersInfoW(SPI_SETWORKAREA, 0, &rect, 0);
}
bool is_font(std::uintptr_t handle) {
    return GetObjectType(reinterpret_cast<HGDIOBJ>(handle)) == OBJ_FONT;
}
PixelRect rect_in(HWND window, HWND parent) {
    RECT rect{};
    GetWindowRect(window, &rect);
    MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&rect), 2);
    return {rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top};
}
PixelRect frame_on_screen(WindowHandle frame) {
    return rect_in(reinterpret_cast<HWND>(frame), nullptr);
}
bool has_focus(WindowHandle frame) {
    return GetForegroundWindow() == reinterpret_cast<HWND>(frame) ||
           GetActiveWindow() == reinterpret_cast<HWND>(frame);
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
// No window manager publishes a work area under test; setting an empty one removes the property.
WorkArea current_work_area() {
    return {};
}
WorkArea screen_area() {
    return {0, 0, DisplayWidth(viewer(), 0), DisplayHeight(viewer(), 0)};
}
void set_root_property(Atom property, Atom type, int format, const void* value, int count) {
    if (count == 0)
        XDeleteProperty(viewer(), DefaultRootWindow(viewer()), property);
    else
        XChangeProperty(viewer(), DefaultRootWindow(viewer()), property, type, format, PropModeReplace,
                        static_cast<const unsigned char*>(value), count);
    XSync(viewer(), False);
}
void set_work_area(const WorkArea& area) {
    const long value[4] = {area.left, area.top, area.right - area.left, area.bottom - area.top};
    set_root_property(XInternAtom(viewer(), "_NET_WORKAREA", False), XA_CARDINAL, 32, value,
                      area.right ? 4 : 0);
}
void set_resources(const std::string& resources) {
    set_root_property(XA_RESOURCE_MANAGER, XA_STRING, 8, resources.data(),
                      static_cast<int>(resources.size()));
}
bool is_font(std::uintptr_t handle) {
    return handle != 0;
}
bool has_focus(WindowHandle frame) {
    Window focus = 0;
    int revert = 0;
    XGetInputFocus(viewer(), &focus, &revert);
    return focus == frame || focus == progress_window_state().bar;
}
PixelRect frame_on_screen(WindowHandle frame) {
    XWindowAttributes a{};
    XGetWindowAttributes(viewer(), frame, &a);
    return {a.x, a.y, a.width + 2 * a.border_width, a.height + 2 * a.border_width};
}

#endif

class ProgressWindowOnScreen : public SandboxTest {
  protected:
    void SetUp() override {
        SandboxTest::SetUp();
        if (!window_system_available())
            GTEST_SKIP() << "no display";
    }
};

// Every open places the frame in the corner of the current work area, never takes the focus, and
// makes a font of its own, released on close.
TEST_F(ProgressWindowOnScreen, EachOpenSitsInTheWorkAreasCornerUnfocusedWithAFontOfItsOwn) {
    const WorkArea s = screen_area();
    const WorkArea original = current_work_area();
    // No taskbar, then one of 60 pixels on each edge in turn.
    for (const WorkArea& area :
         {s, WorkArea{s.left, s.top, s.right, s.bottom - 60}, WorkArea{s.left, s.top, s.right - 60, s.bottom},
          WorkArea{s.left + 60, s.top, s.right, s.bottom}, WorkArea{s.left, s.top + 60, s.right, s.bottom}}) {
        SCOPED_TRACE(testing::Message()
                     << area.left << "," << area.top << "," << area.right << "," << area.bottom);
        set_work_area(area);
        const WindowHandle frame = open_progress_window();
        const PixelRect placed = frame_on_screen(frame);
        EXPECT_EQ(placed, progress_geometry(dpi_of(placed), area.right, area.bottom).frame);
        EXPECT_FALSE(has_focus(frame));
        const std::uintptr_t font = progress_window_state().font;
        EXPECT_TRUE(is_font(font));
        close_progress_window(frame);
        EXPECT_EQ(progress_window_state().font, 0u);
#ifdef _WIN32
        EXPECT_FALSE(is_font(font)) << "the font was not deleted";
        EXPECT_FALSE(IsWindow(reinterpret_cast<HWND>(frame)));
#endif
    }
    set_work_area(original);
}

#ifdef _WIN32

// Also: a WM_QUIT reaching the pump is consumed and changes nothing.
TEST_F(ProgressWindowOnScreen, FrameHoldsTheLabelAndTheBar) {
    const WindowHandle handle = open_progress_window();
    HWND frame = reinterpret_cast<HWND>(handle);
    HWND bar = reinterpret_cast<HWND>(progress_window_state().bar);
    ASSERT_EQ(GetParent(bar), frame);
    HWND label = GetWindow(frame, GW_CHILD);
    if (label == bar)
        label = GetWindow(bar, GW_HWNDNEXT);
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(SendMessageW(label, WM_GETFONT, 0, 0), static_cast<LRESULT>(progress_window_state().font));
    const ProgressGeometry geometry = progress_geometry(dpi_of(frame_on_screen(handle)), 0, 0);
    EXPECT_EQ(rect_in(label, frame), geometry.label);
    EXPECT_EQ(rect_in(bar, frame), geometry.bar);

    // The default range is 0..100: 500 and 1000 only stand in a range of 0..1000.
    for (std::uint32_t permille : {500u, 1000u}) {
        set_progress_permille(permille);
        PostQuitMessage(0);
        PostThreadMessageW(GetCurrentThreadId(), WM_QUIT, 0, 0);
        pump_messages();
        MSG message;
        EXPECT_FALSE(PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE))
            << "WM_QUIT left waiting";
        EXPECT_TRUE(IsWindowVisible(frame));
        EXPECT_EQ(SendMessageW(bar, PBM_GETPOS, 0, 0), static_cast<LRESULT>(permille));
    }
    close_progress_window(handle);
    EXPECT_FALSE(IsWindow(bar));
}

#else

TEST_F(ProgressWindowOnScreen, ScaleComesFromTheXftDpiResource) {
    const WorkArea screen = screen_area();
    for (const auto& [resources, dpi] : std::vector<std::pair<std::string, int>>{
             {"Xft.dpi:\t144\n", 144}, {"Xft.dpi:\t119.6\n", 120}, {"Xft.antialias:\t1\n", 96}}) {
        set_resources(resources);
        const WindowHandle frame = open_progress_window();
        EXPECT_EQ(frame_on_screen(frame), progress_geometry(dpi, screen.right, screen.bottom).frame)
            << resources;
        close_progress_window(frame);
    }
    set_resources("");
}

// One pixel of the screen as 0xRRGGBB. The round trip first lets the server run what the window's
// own connection has already sent, such as a paint during pump_messages.
std::uint32_t screen_pixel(int left, int top) {
    XSync(viewer(), False);
    XImage* image = XGetImage(viewer(), DefaultRootWindow(viewer()), left, top, 1, 1, AllPlanes, ZPixmap);
    if (image == nullptr)
        return 0xFFFFFFFF;
    const unsigned long pixel = XGetPixel(image, 0, 0);
    XDestroyImage(image);
    return static_cast<std::uint32_t>(pixel & 0xFFFFFF);
}

TEST_F(ProgressWindowOnScreen, BarIsRepaintedWhenUncoveredOnlyWhileMessagesArePumped) {
    const WindowHandle frame = open_progress_window();
    set_progress_permille(500);
    pump_messages();
    const PixelRect outer = frame_on_screen(frame);
    const PixelRect bar = progress_geometry(96, 0, 0).bar;
    const int row = outer.y + 1 + bar.y + bar.height / 2;
    const int quarter = outer.x + 1 + bar.x + bar.width / 4;
    const int three_quarters = outer.x + 1 + bar.x + 3 * bar.width / 4;
    const std::uint32_t fill = screen_pixel(quarter, row);
    const std::uint32_t track = screen_pixel(three_quarters, row);
    EXPECT_NE(fill, track);

    // Covered and uncovered, the bar is cleared to its background until it is repainted.
    const Window cover = XCreateSimpleWindow(viewer(), DefaultRootWindow(viewer()), outer.x, outer.y,
                                             outer.width, outer.height, 0, 0, BlackPixel(viewer(), 0));
    XMapRaised(viewer(), cover);
    XSync(viewer(), False);
    XDestroyWindow(viewer(), cover);
    EXPECT_NE(screen_pixel(quarter, row), fill) << "painted without pumping";
    pump_messages();
    EXPECT_EQ(screen_pixel(quarter, row), fill);
    EXPECT_EQ(screen_pixel(three_quarters, row), track);

    set_progress_permille(1000);
    pump_messages();
    EXPECT_EQ(screen_pixel(three_quarters, row), fill);
    close_progress_window(frame);
}

// DISPLAY naming no reachable server, then no DISPLAY at all.
TEST(WithoutDisplay, ProgressWindowCallsAreSafeAndDoNothing) {
    const char* saved = std::getenv("DISPLAY");
    const std::optional<std::string> display = saved ? std::optional<std::string>(saved) : std::nullopt;
    setenv("DISPLAY", ":4093", 1);
    for (int round = 1; round <= 2; ++round) {
        EXPECT_EQ(open_progress_window(), 0u);
        EXPECT_EQ(progress_window_state().font, 0u);
        set_progress_permille(500);
        pump_messages();
        close_progress_window(0);
        close_progress_window(12345);
        unsetenv("DISPLAY");
    }
    if (display)
        setenv("DISPLAY", display->c_str(), 1);
}

#endif

} // namespace
} // namespace kp::test
