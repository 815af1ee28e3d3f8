#include "common/durable_file.hpp"

#include "common/file_io.hpp"
#include "platform/platform.hpp"

namespace kp {

bool write_file_bytes_flushed(const std::u16string& path, const Bytes& buffer, FlushWait wait) {
    const FileHandle file = sys::create_file_for_writing(path);
    if (!write_whole_file(file, buffer))
        return false;
    return wait == FlushWait::done ? sys::flush_file(file) : sys::start_flush(file, buffer.size());
}

} // namespace kp
