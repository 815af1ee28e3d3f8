#include "read_ahead.hpp"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <new>
#include <unistd.h>

namespace kp::posix {

namespace {

static_assert(sizeof(std::uintptr_t) == 8, "the handle tag needs a 64-bit address space");
constexpr std::uintptr_t READ_AHEAD_TAG = std::uintptr_t{1} << 63;

// The window at its largest holds some thirty entries of a few KiB; reads of at least that much
// skip it. A pass that jumps about (the trailer, the image headers) fills small windows; one that
// goes on where the last read stopped doubles the fill each time up to the whole window.
constexpr std::uint32_t WINDOW_CAPACITY = 128 * 1024;
constexpr std::uint32_t FIRST_FILL = 4096;

} // namespace

struct ReadAheadFile {
    int fd = -1;
    std::uint64_t position = 0;      // the handle's file pointer
    std::uint64_t last_read_end = 0; // a read starting here goes on sequentially
    std::uint64_t window_start = 0;
    std::uint32_t window_length = 0;
    std::uint32_t fill_size = 0;
    std::uint8_t window[WINDOW_CAPACITY]; // left uninitialised: only filled bytes are read
};

namespace {

// pread until size bytes came or the file ended: the count, or -1 on an error.
std::int64_t read_at(int fd, std::uint8_t* out, std::uint32_t size, std::uint64_t offset) {
    std::uint32_t done = 0;
    while (done < size) {
        const ssize_t n = ::pread(fd, out + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        done += static_cast<std::uint32_t>(n);
    }
    return done;
}

std::uint32_t copy_from_window(ReadAheadFile& file, std::uint8_t* out, std::uint32_t size) {
    if (file.position < file.window_start || file.position - file.window_start >= file.window_length)
        return 0;
    const auto offset = static_cast<std::uint32_t>(file.position - file.window_start);
    const std::uint32_t count = std::min(size, file.window_length - offset);
    std::memcpy(out, file.window + offset, count);
    file.position += count;
    return count;
}

// Refills the window from the file pointer with at least wanted bytes (fewer at the end).
bool fill_window(ReadAheadFile& file, std::uint32_t wanted) {
    const bool sequential =
        file.position == file.last_read_end || file.position == file.window_start + file.window_length;
    file.fill_size =
        sequential ? std::min(std::max(file.fill_size * 2, FIRST_FILL), WINDOW_CAPACITY) : FIRST_FILL;
    const std::int64_t count = read_at(file.fd, file.window, std::max(file.fill_size, wanted), file.position);
    if (count < 0)
        return false;
    file.window_start = file.position;
    file.window_length = static_cast<std::uint32_t>(count);
    return true;
}

} // namespace

bool is_read_ahead(std::uintptr_t raw) {
    return (raw & READ_AHEAD_TAG) != 0;
}

ReadAheadFile& read_ahead_from_raw(std::uintptr_t raw) {
    return *reinterpret_cast<ReadAheadFile*>(raw & ~READ_AHEAD_TAG);
}

std::uintptr_t open_read_ahead(int fd) {
    auto* file = new (std::nothrow) ReadAheadFile; // default-initialised: the window is not zeroed
    if (file == nullptr) {
        ::close(fd);
        return 0;
    }
    file->fd = fd;
    return reinterpret_cast<std::uintptr_t>(file) | READ_AHEAD_TAG;
}

void close_read_ahead(std::uintptr_t raw) {
    ReadAheadFile* file = &read_ahead_from_raw(raw);
    ::close(file->fd);
    delete file;
}

int read_ahead_fd(const ReadAheadFile& file) {
    return file.fd;
}

bool seek_read_ahead(ReadAheadFile& file, std::uint64_t offset) {
    if (offset > static_cast<std::uint64_t>(INT64_MAX))
        return false;
    file.position = offset;
    return true;
}

bool read_read_ahead(ReadAheadFile& file, void* buffer, std::uint32_t size, std::uint32_t& done) {
    auto* out = static_cast<std::uint8_t*>(buffer);
    done = 0;
    while (done < size) {
        done += copy_from_window(file, out + done, size - done);
        const std::uint32_t rest = size - done;
        if (rest == 0)
            break;
        if (rest >= WINDOW_CAPACITY) { // a chunk of entry data: straight into the caller's buffer
            const std::int64_t count = read_at(file.fd, out + done, rest, file.position);
            if (count < 0)
                return false;
            done += static_cast<std::uint32_t>(count);
            file.position += static_cast<std::uint64_t>(count);
            break;
        }
        if (!fill_window(file, rest))
            return false;
        if (file.window_length == 0)
            break; // the end of the file: a short read, as ReadFile reports it
    }
    file.last_read_end = file.position;
    return true;
}

} // namespace kp::posix
