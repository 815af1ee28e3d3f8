#include "common/durable_file.hpp"

#include "platform/platform.hpp"

namespace kp {

bool write_file_bytes_flushed(const std::u16string& path, const Bytes& buffer, FlushWait wait) {
    FileHandle file = sys::create_file_for_writing(path);
    if (!file)
        return false;
    const auto size32 = static_cast<std::uint32_t>(buffer.size());
    std::uint32_t written = 0;
    if (size32 != buffer.size() || !sys::write_file(file, buffer.data(), size32, written) ||
        written != size32)
        return false;
    return wait == FlushWait::done ? sys::flush_file(file) : sys::start_flush(file);
}

} // namespace kp
