// Memory for whole-file buffers on POSIX.
#include "platform/backend.hpp"

#include <sys/mman.h>
#include <unistd.h>

namespace kp::posix {

namespace {

// Smaller buffers take few faults; the advice would cost more calls than it saves.
constexpr std::size_t LARGE_BUFFER = 4 * 1024 * 1024;

} // namespace

// Fresh memory costs a page fault per page on first touch, which on a virtual machine weighs more
// than reading or decrypting the page. On the machines we measure on, a 4 KiB page faults twice
// (once for the kernel's copy into it, once for the program's own first access), about 0.75 s for
// 256 MiB, where a 2 MiB huge page faults once for 512 of them: 0.25 s for the whole decryption
// (bench/payload_decrypt.sh). The huge pages are asked for, then the range is populated in one
// call. On a virtual machine that hands free memory back to its host, a run now and then pays for
// the host refilling those blocks (up to half a second for 256 MiB), still less than the small
// pages cost every run. Both are only advice: a kernel without them leaves the faults as they were.
void prepare_buffer_memory(void* data, std::size_t size) {
    if (size < LARGE_BUFFER)
        return;
    const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    const auto start = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = (start + page - 1) & ~(page - 1);
    const std::uintptr_t end = (start + size) & ~(page - 1);
    if (first >= end)
        return;
    ::madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
    ::madvise(reinterpret_cast<void*>(first), end - first, MADV_POPULATE_WRITE);
}

} // namespace kp::posix
