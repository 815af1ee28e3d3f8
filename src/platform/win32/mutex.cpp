// The named mutex of the tool refresh on Windows.
#include "platform/backend.hpp"
#include "win32_util.hpp"

namespace kp::win32 {

// Opens the mutex when another launcher created it already; not initially owned.
MutexHandle create_named_mutex(const std::u16string& name) {
    return MutexHandle(raw_from_handle(CreateMutexW(nullptr, FALSE, wide(name))));
}

void wait_for_mutex(const MutexHandle& mutex) {
    WaitForSingleObject(handle_from_raw(mutex.raw()), INFINITE);
}

void release_mutex(const MutexHandle& mutex) {
    ReleaseMutex(handle_from_raw(mutex.raw()));
}

} // namespace kp::win32
