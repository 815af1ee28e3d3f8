// Where the progress window and its two children go, in pixels, for a screen's dpi and the
// work area's right and bottom edges. Both window backends place their windows from this.
#pragma once

namespace kp {

struct PixelRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    bool operator==(const PixelRect&) const = default;
};

struct ProgressGeometry {
    PixelRect frame; // screen coordinates, border included
    PixelRect label; // inside the frame's border
    PixelRect bar;   // inside the frame's border
};

// A length given for a 96-dpi screen, in pixels at dpi: MulDiv(length, dpi, 96), which rounds
// halves away from zero.
int scale_to_dpi(int length, int dpi);

// Every term is scaled on its own, so a width is S(460) - S(40), never S(420).
ProgressGeometry progress_geometry(int dpi, int work_area_right, int work_area_bottom);

} // namespace kp
