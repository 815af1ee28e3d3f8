// A bar on stderr while kpack writes or checks a large package, shown only on a terminal.
#pragma once

#include <cstdint>

namespace kp::pack {

class ProgressBar {
  public:
    ProgressBar(const char* label, std::uint64_t total);
    ~ProgressBar();
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    void update(std::uint64_t done);

  private:
    const char* label_;
    std::uint64_t total_;
    bool enabled_;
    int shown_ = -1;
};

} // namespace kp::pack
