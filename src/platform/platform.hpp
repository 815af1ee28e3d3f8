// The platform seam. The core calls the operating system only through the functions declared
// here, in the system's own terms: UTF-16 paths in Windows form, boolean results, empty values
// for "not available". The declarations come from seam.def; each backend implements them in its
// own namespace and a binding file forwards kp::sys to it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kp {

using Bytes = std::vector<std::uint8_t>;
using Sha256Digest = std::array<std::uint8_t, 32>;

enum class HandleKind { file, snapshot, process, mutex, hash_algorithm, hash };

namespace sys {
void close_handle(HandleKind kind, std::uintptr_t raw);
}

// A move-only owner of one platform handle. The backend encodes "no handle" as 0.
template <HandleKind Kind> class Handle {
  public:
    Handle() = default;
    explicit Handle(std::uintptr_t raw) : raw_(raw) {}
    Handle(Handle&& other) noexcept : raw_(std::exchange(other.raw_, 0)) {}
    Handle& operator=(Handle&& other) noexcept {
        if (this != &other) {
            reset();
            raw_ = std::exchange(other.raw_, 0);
        }
        return *this;
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() { reset(); }

    explicit operator bool() const { return raw_ != 0; }
    std::uintptr_t raw() const { return raw_; }
    // Gives the raw handle up without closing it.
    std::uintptr_t release() { return std::exchange(raw_, 0); }
    void reset() {
        if (raw_ != 0)
            sys::close_handle(Kind, std::exchange(raw_, 0));
    }

  private:
    std::uintptr_t raw_ = 0;
};

using FileHandle = Handle<HandleKind::file>;
using SnapshotHandle = Handle<HandleKind::snapshot>;
using ProcessHandle = Handle<HandleKind::process>;
using MutexHandle = Handle<HandleKind::mutex>;
using HashAlgorithmHandle = Handle<HandleKind::hash_algorithm>;
using HashHandle = Handle<HandleKind::hash>;

// A window handle is not owned: the progress window's frame is destroyed explicitly.
using WindowHandle = std::uintptr_t;

// How a rename ended. `busy`: refused for now by something that holds a file under the path (a
// virus scanner reading a new file: Windows ERROR_ACCESS_DENIED or ERROR_SHARING_VIOLATION,
// POSIX EBUSY), so a later try may work. `refused`: no later try can work (the target exists,
// the source is gone).
enum class MoveResult { moved, busy, refused };

struct ProcessEntry {
    std::uint32_t process_id = 0;
    std::uint32_t parent_process_id = 0;
    std::u16string exe_file; // file name without directory
};

// Times are in the system's own units and compared only for change.
struct PathState {
    bool directory = false;
    std::uint64_t size = 0; // of a file
    std::uint64_t last_write = 0;
    // When the file's data or attributes last changed, whoever set its last-write time; 0 where
    // the volume keeps none (FAT, exFAT).
    std::uint64_t change_time = 0;

    bool operator==(const PathState&) const = default;
};

namespace sys {
#define KP_SEAM(result, name, parameters, arguments) result name parameters;
#include "platform/seam.def"
#undef KP_SEAM
} // namespace sys

} // namespace kp
