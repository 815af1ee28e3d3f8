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

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace kp::test {
namespace {

TEST(ProgressGeometry, LengthsScaleWithHalvesAwayFromZero) {
    struct Case {
        int length, dpi, pixels;
    };
    const Case cases[] = {{460, 96, 460},  {18, 120, 23}, {72, 120, 90},   {16, 120, 20}, {18, 144, 27},
                          {460, 144, 690}, {1, 48, 1},    {-18, 120, -23}, {3, 16, 1},    {2, 24, 1},
                          {0, 144, 0},     {5, 120, 6},   {1, 47, 0},      {-1, 48, -1}};
    for (const Case& c : cases)
        EXPECT_EQ(scale_to_dpi(c.length, c.dpi), c.pixels) << c.length << " at " << c.dpi << " dpi";
}

#ifdef _WIN32
TEST(ProgressGeometry, ScalingAgreesWithTheSystemMulDiv) {
    for (int dpi : {72, 96, 108, 120, 144, 168, 192, 240})
        for (int length = -100; length <= 500; ++length)
            ASSERT_EQ(scale_to_dpi(length, dpi), MulDiv(length, dpi, 96)) << length << " at " << dpi;
}
#endif

TEST(ProgressGeometry, TablesAt96120And144Dpi) {
    struct Case {
        int dpi;
        PixelRect frame, label, bar;
    };
    const Case cases[] = {
        {96, {1444, 904, 460, 120}, {20, 18, 420, 40}, {20, 72, 420, 18}},
        // 22.5 rounds up: the bar's height and the label's top are 23, not 22.
        {120, {1920 - 20 - 575, 1040 - 20 - 150, 575, 150}, {25, 23, 525, 50}, {25, 90, 525, 23}},
        {144, {1920 - 24 - 690, 1040 - 24 - 180, 690, 180}, {30, 27, 630, 60}, {30, 108, 630, 27}},
    };
    for (const Case& c : cases) {
        const ProgressGeometry geometry = progress_geometry(c.dpi, 1920, 1040);
        EXPECT_EQ(geometry.frame, c.frame) << c.dpi;
        EXPECT_EQ(geometry.label, c.label) << c.dpi;
        EXPECT_EQ(geometry.bar, c.bar) << c.dpi;
    }
}

TEST(ProgressGeometry, WidthsSubtractLengthsScaledOneByOne) {
    // At 100 dpi S(460) - S(40) = 479 - 42 = 437, while S(420) would be 438.
    EXPECT_EQ(progress_geometry(100, 1000, 1000).bar.width, 437);
    EXPECT_EQ(progress_geometry(100, 1000, 1000).label.width, 437);
}

// ---- The real window. It needs a window system: always there on Windows; on POSIX these tests
// skip without a display (the on-screen suite runs them under Xvfb).

struct WorkArea {
    int left, top, right, bottom;
};

#ifdef _WIN32

// Without a desktop (Wine with no display), no window can be created at all.
bool window_system_available() {
    HWND probe = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    if (probe == nullptr)
        return false;
    DestroyWindow(probe);
    return true;
}
int screen_dpi() {
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    return dpi;
}
WorkArea current_work_area() {
    RECT area{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
    return {area.left, area.top, area.right, area.bottom};
}
void set_work_area(const WorkArea& area) {
    RECT rect{area.left, area.top, area.right, area.bottom};
    SystemParametersInfoW(SPI_SETWORKAREA, 0, &rect, 0);
}
WorkArea screen_area() {
    return {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
}
PixelRect frame_on_screen(WindowHandle frame) {
    RECT rect{};
    GetWindowRect(reinterpret_cast<HWND>(frame), &rect);
    return {rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top};
}

#else

// A connection of the test's own, to look at the window from outside.
struct TestDisplay {
    Display* display = XOpenDisplay(nullptr);
    TestDisplay() = default;
    TestDisplay(const TestDisplay&) = delete;
    TestDisplay& operator=(const TestDisplay&) = delete;
    ~TestDisplay() {
        if (display != nullptr)
            XCloseDisplay(display);
    }
    Window root() const { return DefaultRootWindow(display); }
};

bool window_system_available() {
    return TestDisplay().display != nullptr;
}
int screen_dpi() {
    return 96;
}
WorkArea screen_area() {
    TestDisplay test;
    return {0, 0, DisplayWidth(test.display, 0), DisplayHeight(test.display, 0)};
}
WorkArea current_work_area() {
    return screen_area();
}

// Publishes a work area as a window manager does; an empty one removes the property.
void set_work_area(const std::optional<WorkArea>& area) {
    TestDisplay test;
    const Atom property = XInternAtom(test.display, "_NET_WORKAREA", False);
    if (!area) {
        XDeleteProperty(test.display, test.root(), property);
    } else {
        const long value[4] = {area->left, area->top, area->right - area->left, area->bottom - area->top};
        XChangeProperty(test.display, test.root(), property, XA_CARDINAL, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(value), 4);
    }
    XSync(test.display, False);
}
void set_resources(const std::string& resources) {
    TestDisplay test;
    if (resources.empty())
        XDeleteProperty(test.display, test.root(), XA_RESOURCE_MANAGER);
    else
        XChangeProperty(test.display, test.root(), XA_RESOURCE_MANAGER, XA_STRING, 8, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(resources.data()),
                        static_cast<int>(resources.size()));
    XSync(test.display, False);
}
PixelRect frame_on_screen(WindowHandle frame) {
    TestDisplay test;
    Window root = 0, child = 0;
    int x = 0, y = 0, screen_x = 0, screen_y = 0;
    unsigned width = 0, height = 0, border = 0, depth = 0;
    XGetGeometry(test.display, frame, &root, &x, &y, &width, &height, &border, &depth);
    XTranslateCoordinates(test.display, frame, root, 0, 0, &screen_x, &screen_y, &child);
    const int b = static_cast<int>(border);
    return {screen_x - b, screen_y - b, static_cast<int>(width) + 2 * b, static_cast<int>(height) + 2 * b};
}

#endif

class ProgressWindowOnScreen : public SandboxTest {
  protected:
    void SetUp() override {
        SandboxTest::SetUp();
        if (!window_system_available())
            GTEST_SKIP() << "no display";
    }
#ifndef _WIN32
    // Held for the whole test: an X server may reset itself, dropping the root window's
    // properties, when its last client goes.
    TestDisplay keep_server_alive_;
#endif
};

TEST_F(ProgressWindowOnScreen, FrameSitsInTheLowerRightCornerOfTheWorkArea) {
    const WorkArea screen = screen_area();
    const WorkArea original = current_work_area();
    // No taskbar, then a taskbar of 60 pixels on each edge in turn.
    const WorkArea areas[] = {screen,
                              {screen.left, screen.top, screen.right, screen.bottom - 60},
                              {screen.left, screen.top, screen.right - 60, screen.bottom},
                              {screen.left + 60, screen.top, screen.right, screen.bottom},
                              {screen.left, screen.top + 60, screen.right, screen.bottom}};
    for (const WorkArea& area : areas) {
        set_work_area(area);
        const WindowHandle frame = open_progress_window();
        ASSERT_NE(frame, 0u);
        const PixelRect expected = progress_geometry(screen_dpi(), area.right, area.bottom).frame;
        EXPECT_EQ(frame_on_screen(frame), expected)
            << "work area " << area.left << "," << area.top << "," << area.right << "," << area.bottom;
        close_progress_window(frame);
    }
#ifdef _WIN32
    set_work_area(original);
#else
    (void)original;
    set_work_area(std::nullopt);
#endif
}

TEST_F(ProgressWindowOnScreen, FontIsReleasedOnCloseAndMadeAgainOnReopen) {
    const WindowHandle first = open_progress_window();
    const std::uintptr_t first_font = progress_window_state().font;
    ASSERT_NE(first_font, 0u);
#ifdef _WIN32
    EXPECT_EQ(GetObjectType(reinterpret_cast<HGDIOBJ>(first_font)), static_cast<DWORD>(OBJ_FONT));
#endif
    close_progress_window(first);
    EXPECT_EQ(progress_window_state().font, 0u);
#ifdef _WIN32
    EXPECT_EQ(GetObjectType(reinterpret_cast<HGDIOBJ>(first_font)), 0u) << "the font was not deleted";
    EXPECT_FALSE(IsWindow(reinterpret_cast<HWND>(first)));
#endif

    const WindowHandle second = open_progress_window();
    const std::uintptr_t second_font = progress_window_state().font;
    EXPECT_NE(second_font, 0u);
#ifdef _WIN32
    EXPECT_EQ(GetObjectType(reinterpret_cast<HGDIOBJ>(second_font)), static_cast<DWORD>(OBJ_FONT));
#endif
    close_progress_window(second);
    EXPECT_EQ(progress_window_state().font, 0u);
}

#ifdef _WIN32

std::wstring class_of(HWND window) {
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    return name;
}

PixelRect child_rect(HWND child) {
    RECT rect{};
    GetWindowRect(child, &rect);
    MapWindowPoints(nullptr, GetParent(child), reinterpret_cast<POINT*>(&rect), 2);
    return {rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top};
}

TEST_F(ProgressWindowOnScreen, FrameHoldsTheLabelAndTheBarAndIsNeverActivated) {
    const WindowHandle handle = open_progress_window();
    HWND frame = reinterpret_cast<HWND>(handle);
    ASSERT_TRUE(IsWindow(frame));
    const LONG_PTR ex_style = GetWindowLongPtrW(frame, GWL_EXSTYLE);
    const LONG_PTR style = GetWindowLongPtrW(frame, GWL_STYLE);
    EXPECT_EQ(ex_style & (WS_EX_TOPMOST | WS_EX_TOOLWINDOW | WS_EX_NOACTIVATE),
              WS_EX_TOPMOST | WS_EX_TOOLWINDOW | WS_EX_NOACTIVATE);
    EXPECT_EQ(style & (WS_POPUP | WS_BORDER | WS_DLGFRAME | WS_VISIBLE), WS_POPUP | WS_BORDER | WS_VISIBLE);
    EXPECT_EQ(_wcsicmp(class_of(frame).c_str(), L"Static"), 0);
    EXPECT_NE(GetForegroundWindow(), frame);
    EXPECT_NE(GetActiveWindow(), frame);

    const ProgressGeometry geometry = progress_geometry(screen_dpi(), 0, 0);
    HWND label = GetWindow(frame, GW_CHILD);
    ASSERT_NE(label, nullptr);
    HWND bar = GetWindow(label, GW_HWNDNEXT);
    ASSERT_NE(bar, nullptr);
    if (class_of(label) == PROGRESS_CLASSW)
        std::swap(label, bar);
    EXPECT_EQ(class_of(bar), PROGRESS_CLASSW);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(bar), progress_window_state().bar);
    wchar_t text[256] = {};
    GetWindowTextW(label, text, 256);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(text)), std::u16string(PROGRESS_TEXT));
    EXPECT_EQ(SendMessageW(label, WM_GETFONT, 0, 0), static_cast<LRESULT>(progress_window_state().font));
    EXPECT_EQ(child_rect(label), geometry.label);
    EXPECT_EQ(child_rect(bar), geometry.bar);

    PBRANGE range{};
    SendMessageW(bar, PBM_GETRANGE, FALSE, reinterpret_cast<LPARAM>(&range));
    EXPECT_EQ(range.iLow, 0);
    EXPECT_EQ(range.iHigh, 1000);
    EXPECT_EQ(SendMessageW(bar, PBM_GETPOS, 0, 0), 0);
    set_progress_permille(500);
    EXPECT_EQ(SendMessageW(bar, PBM_GETPOS, 0, 0), 500);
    set_progress_permille(1000);
    EXPECT_EQ(SendMessageW(bar, PBM_GETPOS, 0, 0), 1000);
    close_progress_window(handle);
    EXPECT_FALSE(IsWindow(frame));
    EXPECT_FALSE(IsWindow(bar));
}

TEST_F(ProgressWindowOnScreen, QuitMessageIsConsumedAndChangesNothing) {
    const WindowHandle handle = open_progress_window();
    HWND frame = reinterpret_cast<HWND>(handle);
    HWND bar = reinterpret_cast<HWND>(progress_window_state().bar);
    set_progress_permille(300);
    PostQuitMessage(0);
    PostThreadMessageW(GetCurrentThreadId(), WM_QUIT, 0, 0);
    pump_messages();

    MSG message;
    EXPECT_FALSE(PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE)) << "WM_QUIT left waiting";
    EXPECT_TRUE(IsWindow(frame));
    EXPECT_TRUE(IsWindowVisible(frame));
    EXPECT_EQ(SendMessageW(bar, PBM_GETPOS, 0, 0), 300);
    set_progress_permille(700);
    pump_messages();
    EXPECT_EQ(SendMessageW(bar, PBM_GETPOS, 0, 0), 700);
    close_progress_window(handle);
}

#else

std::vector<Atom> atom_list(Display* display, Window window, const char* property) {
    Atom type = None;
    int format = 0;
    unsigned long count = 0, remaining = 0;
    unsigned char* data = nullptr;
    std::vector<Atom> atoms;
    if (XGetWindowProperty(display, window, XInternAtom(display, property, False), 0, 16, False, XA_ATOM,
                           &type, &format, &count, &remaining, &data) == Success &&
        data != nullptr) {
        const auto* values = reinterpret_cast<const Atom*>(data);
        atoms.assign(values, values + count);
        XFree(data);
    }
    return atoms;
}

bool has_atom(Display* display, const std::vector<Atom>& atoms, const char* name) {
    const Atom wanted = XInternAtom(display, name, False);
    return std::find(atoms.begin(), atoms.end(), wanted) != atoms.end();
}

TEST_F(ProgressWindowOnScreen, WindowStaysOutOfTheWindowManagersWayAndNeverTakesFocus) {
    TestDisplay test;
    Window focus_before = 0;
    int revert = 0;
    XGetInputFocus(test.display, &focus_before, &revert);

    const WindowHandle frame = open_progress_window();
    ASSERT_NE(frame, 0u);
    XWindowAttributes attributes{};
    ASSERT_TRUE(XGetWindowAttributes(test.display, frame, &attributes));
    EXPECT_TRUE(attributes.override_redirect);
    EXPECT_EQ(attributes.map_state, IsViewable);

    XWMHints* hints = XGetWMHints(test.display, frame);
    ASSERT_NE(hints, nullptr);
    EXPECT_TRUE(hints->flags & InputHint);
    EXPECT_FALSE(hints->input);
    XFree(hints);
    const auto state = atom_list(test.display, frame, "_NET_WM_STATE");
    EXPECT_TRUE(has_atom(test.display, state, "_NET_WM_STATE_SKIP_TASKBAR"));
    EXPECT_TRUE(has_atom(test.display, state, "_NET_WM_STATE_SKIP_PAGER"));
    EXPECT_TRUE(has_atom(test.display, state, "_NET_WM_STATE_ABOVE"));

    Window focus_after = 0;
    XGetInputFocus(test.display, &focus_after, &revert);
    EXPECT_EQ(focus_after, focus_before);
    EXPECT_NE(focus_after, static_cast<Window>(frame));
    close_progress_window(frame);
}

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

// Reads one pixel of the screen as 0xRRGGBB.
std::uint32_t screen_pixel(Display* display, int x, int y) {
    XImage* image = XGetImage(display, DefaultRootWindow(display), x, y, 1, 1, AllPlanes, ZPixmap);
    if (image == nullptr)
        return 0xFFFFFFFF;
    const unsigned long pixel = XGetPixel(image, 0, 0);
    XDestroyImage(image);
    return static_cast<std::uint32_t>(pixel & 0xFFFFFF);
}

TEST_F(ProgressWindowOnScreen, BarIsRepaintedWhenUncoveredWhileMessagesArePumped) {
    TestDisplay test;
    const WindowHandle frame = open_progress_window();
    set_progress_permille(500);
    pump_messages();
    const PixelRect outer = frame_on_screen(frame);
    const PixelRect bar = progress_geometry(96, 0, 0).bar;
    const int row = outer.y + 1 + bar.y + bar.height / 2;
    const int quarter = outer.x + 1 + bar.x + bar.width / 4;
    const int three_quarters = outer.x + 1 + bar.x + 3 * bar.width / 4;
    const std::uint32_t fill = screen_pixel(test.display, quarter, row);
    const std::uint32_t track = screen_pixel(test.display, three_quarters, row);
    EXPECT_NE(fill, track);

    // Cover the window, uncover it: the server clears it to its background until it is repainted.
    XSetWindowAttributes cover_attributes{};
    cover_attributes.override_redirect = True;
    cover_attributes.background_pixel = BlackPixel(test.display, 0);
    const Window cover = XCreateWindow(test.display, test.root(), outer.x, outer.y, outer.width, outer.height,
                                       0, CopyFromParent, InputOutput, CopyFromParent,
                                       CWOverrideRedirect | CWBackPixel, &cover_attributes);
    XMapRaised(test.display, cover);
    XSync(test.display, False);
    XDestroyWindow(test.display, cover);
    XSync(test.display, False);
    EXPECT_NE(screen_pixel(test.display, quarter, row), fill) << "painted without pumping";
    // The expose may reach the window's own connection a moment after the test's round trip.
    for (int attempt = 0; attempt < 100 && screen_pixel(test.display, quarter, row) != fill; ++attempt) {
        pump_messages();
        sys::sleep_ms(10);
    }
    EXPECT_EQ(screen_pixel(test.display, quarter, row), fill);
    EXPECT_EQ(screen_pixel(test.display, three_quarters, row), track);

    set_progress_permille(1000);
    pump_messages();
    EXPECT_EQ(screen_pixel(test.display, three_quarters, row), fill);
    close_progress_window(frame);
}

// Runs with DISPLAY naming no reachable server, then restores it.
class WithoutDisplay : public SandboxTest {
  protected:
    void SetUp() override {
        SandboxTest::SetUp();
        if (const char* display = std::getenv("DISPLAY"))
            saved_ = display;
        setenv("DISPLAY", ":4093", 1);
    }
    void TearDown() override {
        if (saved_)
            setenv("DISPLAY", saved_->c_str(), 1);
        else
            unsetenv("DISPLAY");
        SandboxTest::TearDown();
    }

  private:
    std::optional<std::string> saved_;
};

TEST_F(WithoutDisplay, ProgressWindowCallsAreSafeAndDoNothing) {
    const WindowHandle frame = open_progress_window();
    EXPECT_EQ(frame, 0u);
    EXPECT_EQ(progress_window_state().font, 0u);
    set_progress_permille(500);
    pump_messages();
    close_progress_window(frame);
    close_progress_window(12345);
    unsetenv("DISPLAY");
    EXPECT_EQ(open_progress_window(), 0u);
    set_progress_permille(1000);
    pump_messages();
    close_progress_window(0);
}

#endif

} // namespace
} // namespace kp::test
