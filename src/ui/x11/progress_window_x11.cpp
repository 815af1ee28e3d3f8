// The progress window on X11: a borderless override-redirect box in the lower right corner of
// the work area, with the label drawn through Xft on the frame and the bar as a child window.
// Override-redirect keeps every window manager out: it is never decorated, moved, focused or
// listed in a taskbar. The EWMH hints are still set so compositors and pagers see what it is.
#include "common/text.hpp"
#include "platform/backend.hpp"
#include "shared_library.hpp"
#include "ui/progress_geometry.hpp"
#include "ui/progress_window.hpp"
#include "ui/progress_window_state.hpp"

#include <X11/Xatom.h>
#include <X11/Xft/Xft.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xrandr.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

namespace kp {
namespace {

// The X libraries, loaded when the window first opens: a launch that shows no window maps none
// of them (nor fontconfig, freetype and the rest that Xft brings). RandR is optional; without it
// the work area alone places the window.
#define KP_XLIB_FUNCTIONS(X)                                                                                 \
    X(XAllocColor)                                                                                           \
    X(XChangeProperty)                                                                                       \
    X(XClearArea)                                                                                            \
    X(XCloseDisplay)                                                                                         \
    X(XCreateGC)                                                                                             \
    X(XCreateWindow)                                                                                         \
    X(XDestroyWindow)                                                                                        \
    X(XDrawString)                                                                                           \
    X(XFree)                                                                                                 \
    X(XFreeFont)                                                                                             \
    X(XFreeGC)                                                                                               \
    X(XGetDefault)                                                                                           \
    X(XGetGeometry)                                                                                          \
    X(XGetWindowProperty)                                                                                    \
    X(XInternAtom)                                                                                           \
    X(XLoadQueryFont)                                                                                        \
    X(XMapRaised)                                                                                            \
    X(XMapWindow)                                                                                            \
    X(XNextEvent)                                                                                            \
    X(XOpenDisplay)                                                                                          \
    X(XPending)                                                                                              \
    X(XRaiseWindow)                                                                                          \
    X(XSetClipRectangles)                                                                                    \
    X(XSetErrorHandler)                                                                                      \
    X(XSetFont)                                                                                              \
    X(XSetForeground)                                                                                        \
    X(XSetIOErrorExitHandler)                                                                                \
    X(XSetIOErrorHandler)                                                                                    \
    X(XSetWMHints)                                                                                           \
    X(XSync)                                                                                                 \
    X(XTextWidth)
#define KP_XFT_FUNCTIONS(X)                                                                                  \
    X(XftColorAllocValue)                                                                                    \
    X(XftColorFree)                                                                                          \
    X(XftDrawCreate)                                                                                         \
    X(XftDrawDestroy)                                                                                        \
    X(XftDrawRect)                                                                                           \
    X(XftDrawSetClipRectangles)                                                                              \
    X(XftDrawStringUtf8)                                                                                     \
    X(XftFontClose)                                                                                          \
    X(XftFontOpen)                                                                                           \
    X(XftTextExtentsUtf8)
#define KP_XRANDR_FUNCTIONS(X)                                                                               \
    X(XRRFreeMonitors)                                                                                       \
    X(XRRGetMonitors)                                                                                        \
    X(XRRQueryExtension)                                                                                     \
    X(XRRQueryVersion)

struct XFunctions {
    KP_XLIB_FUNCTIONS(KP_DECLARE_FUNCTION_POINTER)
    KP_XFT_FUNCTIONS(KP_DECLARE_FUNCTION_POINTER)
    KP_XRANDR_FUNCTIONS(KP_DECLARE_FUNCTION_POINTER)
    bool has_randr = false;
};

// Null when Xlib or Xft, or one of their functions, is missing: then there is no window, as
// when no display can be opened.
const XFunctions* load_x_functions() {
    static const XFunctions* const loaded = [] {
        static const posix::SharedLibrary x11("libX11.so.6");
        static const posix::SharedLibrary xft("libXft.so.2");
        static const posix::SharedLibrary xrandr("libXrandr.so.2");
        static XFunctions functions;
        bool complete = true;
        functions.has_randr = true;
#define KP_RESOLVE_X11(name) complete = x11.resolve(functions.name, #name) && complete;
#define KP_RESOLVE_XFT(name) complete = xft.resolve(functions.name, #name) && complete;
#define KP_RESOLVE_XRANDR(name)                                                                              \
    functions.has_randr = xrandr.resolve(functions.name, #name) && functions.has_randr;
        KP_XLIB_FUNCTIONS(KP_RESOLVE_X11)
        KP_XFT_FUNCTIONS(KP_RESOLVE_XFT)
        KP_XRANDR_FUNCTIONS(KP_RESOLVE_XRANDR)
#undef KP_RESOLVE_X11
#undef KP_RESOLVE_XFT
#undef KP_RESOLVE_XRANDR
        return complete ? &functions : nullptr;
    }();
    return loaded;
}
const XFunctions* xlib = nullptr; // set when a window first opens

// The module-level state. Besides the bar and the font, X11 needs the connection, the dpi to
// lay the label out again on every expose, and the bar's position, which the server does not
// keep for us.
struct ProgressWindow {
    Window bar = 0;
    XftFont* font = nullptr;
    // The server's own "fixed" font, for the label when no Xft font can be opened.
    XFontStruct* fallback_font = nullptr;
    Display* display = nullptr;
    int dpi = 96;
    std::uint32_t permille = 0;
};
ProgressWindow progress_window;

constexpr int DEFAULT_DPI = 96;
constexpr int MAX_DPI = 4800;
// The pixel size of a 9-point message font on a 96-dpi screen.
constexpr int FONT_PIXELS_AT_96_DPI = 12;
constexpr std::uint32_t PERMILLE_MAX = 1000;

constexpr std::uint32_t FRAME_BACKGROUND = 0xF0F0F0;
constexpr std::uint32_t FRAME_BORDER = 0x646464;
constexpr std::uint32_t TEXT_COLOUR = 0x000000;
constexpr std::uint32_t BAR_TRACK = 0xE6E6E6;
constexpr std::uint32_t BAR_EDGE = 0xBCBCBC;
constexpr std::uint32_t BAR_FILL = 0x06B025;

// Protocol errors are ignored and a lost connection does not end the process: the window is
// only a notice, and the unpack it accompanies must go on. Without these, Xlib prints a message
// and exits.
int ignore_protocol_error(Display*, XErrorEvent*) {
    return 0;
}
int ignore_io_error(Display*) {
    return 0;
}
void keep_running_after_io_error(Display*, void*) {}

int resource_dpi(Display* display) {
    const char* value = xlib->XGetDefault(display, "Xft", "dpi");
    if (value == nullptr)
        return DEFAULT_DPI;
    const double dpi = std::strtod(value, nullptr);
    if (!(dpi >= 1 && dpi <= MAX_DPI))
        return DEFAULT_DPI;
    return static_cast<int>(dpi + 0.5); // rounded as lround rounds a positive value, without libm
}

struct ScreenRect {
    long left = 0;
    long top = 0;
    long right = 0;
    long bottom = 0;
};

ScreenRect intersection(const ScreenRect& a, const ScreenRect& b) {
    return {std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right),
            std::min(a.bottom, b.bottom)};
}
bool is_empty(const ScreenRect& r) {
    return r.right <= r.left || r.bottom <= r.top;
}

// The primary monitor as RandR reports it (the primary output's, or a monitor defined as
// primary); none without RandR 1.5 or when no monitor is primary.
bool primary_monitor(Display* display, Window root, ScreenRect& monitor) {
    int event_base = 0;
    int error_base = 0;
    int major = 0;
    int minor = 0;
    if (!xlib->has_randr || !xlib->XRRQueryExtension(display, &event_base, &error_base) ||
        !xlib->XRRQueryVersion(display, &major, &minor) || major * 100 + minor < 105)
        return false;
    int count = 0;
    XRRMonitorInfo* monitors = xlib->XRRGetMonitors(display, root, True, &count);
    if (monitors == nullptr)
        return false;
    bool found = false;
    for (int i = 0; i < count && !found; ++i) {
        const XRRMonitorInfo& m = monitors[i];
        if (m.primary && m.width > 0 && m.height > 0) {
            monitor = {m.x, m.y, static_cast<long>(m.x) + m.width, static_cast<long>(m.y) + m.height};
            found = true;
        }
    }
    xlib->XRRFreeMonitors(monitors);
    return found;
}

// The current desktop's work area (_NET_WORKAREA), which spans every monitor; false when no
// window manager publishes one.
bool desktop_work_area(Display* display, Window root, ScreenRect& area) {
    long desktop = 0;
    Atom type = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long remaining = 0;
    unsigned char* data = nullptr;
    const Atom current_desktop = xlib->XInternAtom(display, "_NET_CURRENT_DESKTOP", True);
    if (current_desktop != None &&
        xlib->XGetWindowProperty(display, root, current_desktop, 0, 1, False, XA_CARDINAL, &type, &format,
                                 &count, &remaining, &data) == Success &&
        data != nullptr) {
        if (format == 32 && count == 1)
            desktop = reinterpret_cast<long*>(data)[0];
        xlib->XFree(data);
        data = nullptr;
    }
    const Atom work_area = xlib->XInternAtom(display, "_NET_WORKAREA", True);
    if (work_area == None || desktop < 0 ||
        xlib->XGetWindowProperty(display, root, work_area, desktop * 4, 4, False, XA_CARDINAL, &type, &format,
                                 &count, &remaining, &data) != Success ||
        data == nullptr)
        return false;
    bool found = false;
    if (format == 32 && count == 4) {
        const long* value = reinterpret_cast<long*>(data);
        if (value[2] > 0 && value[3] > 0) {
            area = {value[0], value[1], value[0] + value[2], value[1] + value[3]};
            found = true;
        }
    }
    xlib->XFree(data);
    return found;
}

// The right and bottom edges of the primary monitor's work area: the primary monitor within the
// desktop's work area, falling back to whichever of the two is known, else the screen.
void work_area_edges(Display* display, int& right, int& bottom) {
    const int screen = DefaultScreen(display);
    const Window root = RootWindow(display, screen);
    ScreenRect area{0, 0, DisplayWidth(display, screen), DisplayHeight(display, screen)};
    desktop_work_area(display, root, area);
    ScreenRect monitor;
    if (primary_monitor(display, root, monitor)) {
        const ScreenRect within = intersection(monitor, area);
        area = is_empty(within) ? monitor : within;
    }
    right = static_cast<int>(area.right);
    bottom = static_cast<int>(area.bottom);
}

unsigned long pixel_of(Display* display, std::uint32_t rgb) {
    XColor colour{};
    colour.red = static_cast<unsigned short>(((rgb >> 16) & 0xFF) * 0x101);
    colour.green = static_cast<unsigned short>(((rgb >> 8) & 0xFF) * 0x101);
    colour.blue = static_cast<unsigned short>((rgb & 0xFF) * 0x101);
    if (!xlib->XAllocColor(display, DefaultColormap(display, DefaultScreen(display)), &colour))
        return BlackPixel(display, DefaultScreen(display));
    return colour.pixel;
}

XftFont* open_label_font(Display* display, int dpi) {
    const double pixels = scale_to_dpi(FONT_PIXELS_AT_96_DPI, dpi);
    return xlib->XftFontOpen(display, DefaultScreen(display), XFT_FAMILY, XftTypeString, "sans-serif",
                             XFT_PIXEL_SIZE, XftTypeDouble, pixels, nullptr);
}

void set_atom_property(Display* display, Window window, const char* property,
                       const std::vector<const char*>& names) {
    std::vector<Atom> atoms;
    for (const char* name : names)
        atoms.push_back(xlib->XInternAtom(display, name, False));
    xlib->XChangeProperty(display, window, xlib->XInternAtom(display, property, False), XA_ATOM, 32,
                          PropModeReplace, reinterpret_cast<const unsigned char*>(atoms.data()),
                          static_cast<int>(atoms.size()));
}

// Never focused, kept above, no taskbar or pager entry.
void describe_as_notice(Display* display, Window frame) {
    XWMHints hints{};
    hints.flags = InputHint;
    hints.input = False;
    xlib->XSetWMHints(display, frame, &hints);
    set_atom_property(display, frame, "_NET_WM_WINDOW_TYPE", {"_NET_WM_WINDOW_TYPE_NOTIFICATION"});
    set_atom_property(display, frame, "_NET_WM_STATE",
                      {"_NET_WM_STATE_ABOVE", "_NET_WM_STATE_SKIP_TASKBAR", "_NET_WM_STATE_SKIP_PAGER"});
}

Window create_frame(Display* display, const PixelRect& place) {
    const int screen = DefaultScreen(display);
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.background_pixel = pixel_of(display, FRAME_BACKGROUND);
    attributes.border_pixel = pixel_of(display, FRAME_BORDER);
    attributes.event_mask = ExposureMask | VisibilityChangeMask;
    // The border lies outside an X window's size; the place given includes it.
    constexpr int border = 1;
    return xlib->XCreateWindow(display, RootWindow(display, screen), place.x, place.y,
                               static_cast<unsigned>(std::max(1, place.width - 2 * border)),
                               static_cast<unsigned>(std::max(1, place.height - 2 * border)), border,
                               CopyFromParent, InputOutput, CopyFromParent,
                               CWOverrideRedirect | CWBackPixel | CWBorderPixel | CWEventMask, &attributes);
}

Window create_bar(Display* display, Window frame, const PixelRect& place) {
    XSetWindowAttributes attributes{};
    attributes.background_pixel = pixel_of(display, BAR_TRACK);
    attributes.event_mask = ExposureMask;
    return xlib->XCreateWindow(display, frame, place.x, place.y,
                               static_cast<unsigned>(std::max(1, place.width)),
                               static_cast<unsigned>(std::max(1, place.height)), 0, CopyFromParent,
                               InputOutput, CopyFromParent, CWBackPixel | CWEventMask, &attributes);
}

// Paints through Xft on one window; the draw and the colours live for one paint only.
class XftPainter {
  public:
    XftPainter(Display* display, Window window) : display_(display) {
        const int screen = DefaultScreen(display);
        visual_ = DefaultVisual(display, screen);
        colormap_ = DefaultColormap(display, screen);
        draw_ = xlib->XftDrawCreate(display, window, visual_, colormap_);
    }
    XftPainter(const XftPainter&) = delete;
    XftPainter& operator=(const XftPainter&) = delete;
    ~XftPainter() {
        for (XftColor& colour : colours_)
            xlib->XftColorFree(display_, visual_, colormap_, &colour);
        if (draw_ != nullptr)
            xlib->XftDrawDestroy(draw_);
    }

    bool ready() const { return draw_ != nullptr; }
    XftDraw* draw() const { return draw_; }

    const XftColor* colour(std::uint32_t rgb) {
        XRenderColor value{};
        value.red = static_cast<unsigned short>(((rgb >> 16) & 0xFF) * 0x101);
        value.green = static_cast<unsigned short>(((rgb >> 8) & 0xFF) * 0x101);
        value.blue = static_cast<unsigned short>((rgb & 0xFF) * 0x101);
        value.alpha = 0xFFFF;
        XftColor result{};
        if (!xlib->XftColorAllocValue(display_, visual_, colormap_, &value, &result))
            return nullptr;
        colours_.push_back(result);
        return &colours_.back();
    }

    void fill(std::uint32_t rgb, int x, int y, int width, int height) {
        const XftColor* with = colour(rgb);
        if (with != nullptr && width > 0 && height > 0)
            xlib->XftDrawRect(draw_, with, x, y, static_cast<unsigned>(width), static_cast<unsigned>(height));
    }

  private:
    Display* display_;
    Visual* visual_ = nullptr;
    Colormap colormap_ = 0;
    XftDraw* draw_ = nullptr;
    std::vector<XftColor> colours_;
};

// The label's font: the Xft font, else the server's fallback font.
int text_width(const std::string& text) {
    if (progress_window.font == nullptr)
        return xlib->XTextWidth(progress_window.fallback_font, text.data(), static_cast<int>(text.size()));
    XGlyphInfo extents{};
    xlib->XftTextExtentsUtf8(progress_window.display, progress_window.font,
                             reinterpret_cast<const FcChar8*>(text.data()), static_cast<int>(text.size()),
                             &extents);
    return extents.xOff;
}

// Lines as a STATIC control makes them: at each line feed, and at word breaks where a line would
// grow wider than the label.
std::vector<std::string> wrap_label(const std::string& text, int width) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        std::string line;
        std::size_t word_start = start;
        while (word_start < end) {
            const std::size_t word_end = std::min(text.find(' ', word_start), end);
            const std::string word = text.substr(word_start, word_end - word_start);
            const std::string longer = line.empty() ? word : line + ' ' + word;
            if (!line.empty() && text_width(longer) > width) {
                lines.push_back(line);
                line = word;
            } else {
                line = longer;
            }
            word_start = word_end + 1;
        }
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

void paint_label_with_xft(Window frame, const PixelRect& label, const std::vector<std::string>& lines) {
    XftFont* font = progress_window.font;
    XftPainter painter(progress_window.display, frame);
    const XftColor* ink = painter.colour(TEXT_COLOUR);
    if (!painter.ready() || ink == nullptr)
        return;
    XRectangle clip{static_cast<short>(label.x), static_cast<short>(label.y),
                    static_cast<unsigned short>(label.width), static_cast<unsigned short>(label.height)};
    xlib->XftDrawSetClipRectangles(painter.draw(), 0, 0, &clip, 1);
    int baseline = label.y + font->ascent;
    for (const std::string& line : lines) {
        xlib->XftDrawStringUtf8(painter.draw(), ink, font, label.x, baseline,
                                reinterpret_cast<const FcChar8*>(line.data()), static_cast<int>(line.size()));
        baseline += font->ascent + font->descent;
    }
}

void paint_label_with_fallback_font(Window frame, const PixelRect& label,
                                    const std::vector<std::string>& lines) {
    Display* display = progress_window.display;
    const XFontStruct* font = progress_window.fallback_font;
    const GC gc = xlib->XCreateGC(display, frame, 0, nullptr);
    xlib->XSetFont(display, gc, font->fid);
    xlib->XSetForeground(display, gc, pixel_of(display, TEXT_COLOUR));
    XRectangle clip{static_cast<short>(label.x), static_cast<short>(label.y),
                    static_cast<unsigned short>(label.width), static_cast<unsigned short>(label.height)};
    xlib->XSetClipRectangles(display, gc, 0, 0, &clip, 1, Unsorted);
    int baseline = label.y + font->ascent;
    for (const std::string& line : lines) {
        xlib->XDrawString(display, frame, gc, label.x, baseline, line.data(), static_cast<int>(line.size()));
        baseline += font->ascent + font->descent;
    }
    xlib->XFreeGC(display, gc);
}

void paint_label(Window frame) {
    if (progress_window.font == nullptr && progress_window.fallback_font == nullptr)
        return;
    const PixelRect label = progress_geometry(progress_window.dpi, 0, 0).label;
    const std::vector<std::string> lines = wrap_label(utf16_to_utf8(PROGRESS_TEXT), label.width);
    if (progress_window.font != nullptr)
        paint_label_with_xft(frame, label, lines);
    else
        paint_label_with_fallback_font(frame, label, lines);
}

// A one-pixel edge around the track, filled from the left in proportion to the position.
void paint_bar() {
    Display* display = progress_window.display;
    Window root = 0;
    int x = 0;
    int y = 0;
    unsigned width = 0;
    unsigned height = 0;
    unsigned border = 0;
    unsigned depth = 0;
    if (!xlib->XGetGeometry(display, progress_window.bar, &root, &x, &y, &width, &height, &border, &depth))
        return;
    XftPainter painter(display, progress_window.bar);
    if (!painter.ready())
        return;
    const int w = static_cast<int>(width);
    const int h = static_cast<int>(height);
    painter.fill(BAR_EDGE, 0, 0, w, 1);
    painter.fill(BAR_EDGE, 0, h - 1, w, 1);
    painter.fill(BAR_EDGE, 0, 0, 1, h);
    painter.fill(BAR_EDGE, w - 1, 0, 1, h);
    const int inner = std::max(0, w - 2);
    const int filled =
        static_cast<int>(static_cast<long long>(inner) * progress_window.permille / PERMILLE_MAX);
    painter.fill(BAR_FILL, 1, 1, filled, h - 2);
    painter.fill(BAR_TRACK, 1 + filled, 1, inner - filled, h - 2);
}

void handle_event(const XEvent& event) {
    if (event.type == Expose && event.xexpose.count == 0) {
        if (event.xexpose.window == progress_window.bar)
            paint_bar();
        else
            paint_label(event.xexpose.window);
    } else if (event.type == VisibilityNotify && event.xvisibility.state != VisibilityUnobscured) {
        xlib->XRaiseWindow(progress_window.display, event.xvisibility.window);
    }
}

} // namespace

ProgressWindowStateView progress_window_state() {
    return {static_cast<std::uintptr_t>(progress_window.bar),
            reinterpret_cast<std::uintptr_t>(progress_window.font)};
}

namespace posix {

WindowHandle open_progress_window() {
    // Xlib has no display to fall back on when none is named: then no window, and no X library
    // (with fontconfig, freetype and the rest that Xft brings) is loaded for nothing.
    const char* display_name = std::getenv("DISPLAY");
    if (display_name == nullptr || *display_name == '\0')
        return 0;
    if (xlib == nullptr)
        xlib = load_x_functions();
    if (xlib == nullptr)
        return 0;
    if (progress_window.display == nullptr)
        progress_window.display = xlib->XOpenDisplay(nullptr);
    Display* display = progress_window.display;
    if (display == nullptr)
        return 0;
    xlib->XSetErrorHandler(ignore_protocol_error);
    xlib->XSetIOErrorHandler(ignore_io_error);
    xlib->XSetIOErrorExitHandler(display, keep_running_after_io_error, nullptr);

    progress_window.dpi = resource_dpi(display);
    if (progress_window.font != nullptr)
        xlib->XftFontClose(display, progress_window.font);
    progress_window.font = open_label_font(display, progress_window.dpi);
    if (progress_window.font == nullptr && progress_window.fallback_font == nullptr)
        progress_window.fallback_font = xlib->XLoadQueryFont(display, "fixed");
    progress_window.permille = 0;
    int right = 0;
    int bottom = 0;
    work_area_edges(display, right, bottom);
    const ProgressGeometry geometry = progress_geometry(progress_window.dpi, right, bottom);

    const Window frame = create_frame(display, geometry.frame);
    describe_as_notice(display, frame);
    progress_window.bar = create_bar(display, frame, geometry.bar);
    xlib->XMapWindow(display, progress_window.bar);
    xlib->XMapRaised(display, frame);
    // Paint once now, as the window is shown, rather than at the first pump.
    xlib->XSync(display, False);
    pump_messages();
    return static_cast<WindowHandle>(frame);
}

// The bar repaints when messages are next pumped, as a Windows control does. The round trip
// makes sure its expose is queued by then.
void set_progress_permille(std::uint32_t permille) {
    if (progress_window.display == nullptr)
        return;
    progress_window.permille = std::min(permille, PERMILLE_MAX);
    xlib->XClearArea(progress_window.display, progress_window.bar, 0, 0, 0, 0, True);
    xlib->XSync(progress_window.display, False);
}

void pump_messages() {
    Display* display = progress_window.display;
    if (display == nullptr)
        return;
    while (xlib->XPending(display) > 0) {
        XEvent event;
        xlib->XNextEvent(display, &event);
        handle_event(event);
    }
}

void close_progress_window(WindowHandle frame) {
    Display* display = progress_window.display;
    if (display == nullptr)
        return;
    if (frame != 0)
        xlib->XDestroyWindow(display, static_cast<Window>(frame));
    if (progress_window.font != nullptr)
        xlib->XftFontClose(display, progress_window.font);
    progress_window.font = nullptr;
    if (progress_window.fallback_font != nullptr)
        xlib->XFreeFont(display, progress_window.fallback_font);
    progress_window.fallback_font = nullptr;
    xlib->XCloseDisplay(display);
    progress_window.display = nullptr;
}

} // namespace posix
} // namespace kp
