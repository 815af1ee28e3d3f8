// Memory for whole-file buffers on POSIX.
#include "platform/backend.hpp"

#include <sys/mman.h>
#include <unistd.h>

namespace kp::posix {

namespace {

constexpr std::uintptr_t HUGE_PAGE = 2 * 1024 * 1024;
// Smaller buffers take few faults; the advice would cost more calls than it saves.
constexpr std::size_t LARGE_BUFFER = 2 * HUGE_PAGE;

std::uintptr_t align_up(std::uintptr_t value, std::uintptr_t alignment) {
    return (value + alignment - 1) & ~(alignment - 1);
}
std::uintptr_t align_down(std::uintptr_t value, std::uintptr_t alignment) {
    return value & ~(alignment - 1);
}

void advise(std::uintptr_t start, std::uintptr_t end, int advice) {
    if (start < end)
        ::madvise(reinterpret_cast<void*>(start), end - start, advice);
}

} // namespace

// Fresh memory costs a page fault per 4 KiB page on first touch, which on a virtual machine
// weighs more than reading or decrypting the page. Transparent huge pages (asked for, since they
// are often enabled on request only) take one fault per 2 MiB, and populating the range maps it
// all in one call. Both are advice: a kernel without them leaves the faults where they were.
void prepare_buffer_memory(void* data, std::size_t size) {
    if (size < LARGE_BUFFER)
        return;
    const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    const auto start = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t end = start + size;
    advise(align_up(start, HUGE_PAGE), align_down(end, HUGE_PAGE), MADV_HUGEPAGE);
    advise(align_up(start, page), align_down(end, page), MADV_POPULATE_WRITE);
}

} // namespace kp::posix
