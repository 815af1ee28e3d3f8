#include "progress_bar.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace kp::pack {

namespace {

constexpr std::uint64_t PROGRESS_THRESHOLD = 64 * 1024 * 1024;

} // namespace

ProgressBar::ProgressBar(const char* label, std::uint64_t total)
    : label_(label), total_(total), enabled_(total >= PROGRESS_THRESHOLD && isatty(fileno(stderr))) {}

ProgressBar::~ProgressBar() {
    if (enabled_ && shown_ >= 0)
        std::fputc('\n', stderr);
}

void ProgressBar::update(std::uint64_t done) {
    if (!enabled_ || total_ == 0)
        return;
    const int percent = static_cast<int>(std::min<std::uint64_t>(done, total_) * 100 / total_);
    if (percent == shown_)
        return;
    shown_ = percent;
    char bar[41];
    const int filled = percent * 40 / 100;
    std::memset(bar, '#', static_cast<std::size_t>(filled));
    std::memset(bar + filled, '.', static_cast<std::size_t>(40 - filled));
    bar[40] = '\0';
    std::fprintf(stderr, "\r%s [%s] %3d%%", label_, bar, percent);
    std::fflush(stderr);
}

} // namespace kp::pack
