// Test binding of the seam. Every call is counted, and a test may replace any call with its own
// function (to fail it, fake it or observe it); unset hooks forward to the real backend.
//   kp::fault::sleep_ms = [](std::uint32_t) {};            // a 60 s wait takes no time
//   EXPECT_EQ(kp::fault::calls.sleep_ms, 240);
// kp::fault::reset() clears every hook and count; the test fixture calls it.
#pragma once

#include "platform/platform.hpp"

#include <functional>

namespace kp::fault {

#define KP_SEAM(result, name, parameters, arguments) inline std::function<result parameters> name;
#include "platform/seam.def"
#undef KP_SEAM

struct CallCounts {
#define KP_SEAM(result, name, parameters, arguments) int name = 0;
#include "platform/seam.def"
#undef KP_SEAM
};
inline CallCounts calls;

void reset();

} // namespace kp::fault
