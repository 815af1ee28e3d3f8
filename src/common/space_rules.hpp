// Room on disk and ranges within a bound, as both the installation and the tool refresh check them.
#pragma once

#include <cstdint>

namespace kp {

// What a step that writes to the install folder's volume leaves free beyond what it writes.
inline constexpr std::uint64_t FREE_SPACE_MARGIN = 0x10000000; // 256 MiB

// start + length <= bound, where a sum that wraps counts as beyond the bound.
constexpr bool fits_before(std::uint64_t start, std::uint64_t length, std::uint64_t bound) {
    return start <= bound && length <= bound - start;
}

} // namespace kp
