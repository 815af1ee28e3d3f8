#include "ui/progress_geometry.hpp"

#include <cstdint>

namespace kp {

int scale_to_dpi(int length, int dpi) {
    constexpr std::int64_t divisor = 96;
    const std::int64_t product = static_cast<std::int64_t>(length) * dpi;
    const std::int64_t half = product < 0 ? -divisor / 2 : divisor / 2;
    return static_cast<int>((product + half) / divisor);
}

ProgressGeometry progress_geometry(int dpi, int work_area_right, int work_area_bottom) {
    const auto S = [dpi](int length) { return scale_to_dpi(length, dpi); };
    const int width = S(460);
    const int height = S(120);
    const int child_width = width - S(40);
    ProgressGeometry geometry;
    geometry.frame = {work_area_right - S(16) - width, work_area_bottom - S(16) - height, width, height};
    geometry.label = {S(20), S(18), child_width, S(40)};
    geometry.bar = {S(20), S(72), child_width, S(18)};
    return geometry;
}

} // namespace kp
