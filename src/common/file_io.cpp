#include "common/file_io.hpp"

#include "platform/platform.hpp"

#include <new>

namespace kp {

bool exists(const std::u16string& path) {
    return sys::path_exists(path);
}

bool size_file_buffer(Bytes& buffer, std::size_t size, std::size_t headroom) {
    if (headroom > buffer.max_size() || size > buffer.max_size() - headroom)
        return false;
    try {
        buffer.reserve(size + headroom);
    } catch (const std::bad_alloc&) { // out of memory: a failed read, not a crash
        return false;
    }
    sys::prepare_buffer_memory(buffer.data(), buffer.capacity());
    buffer.resize(size);
    return true;
}

bool read_file_bytes(const std::u16string& path, Bytes& buffer) {
    FileHandle file = sys::open_file_for_reading(path);
    if (!file)
        return false;
    std::uint64_t size = 0;
    if (!sys::file_size(file, size))
        return false;
    const auto size32 = static_cast<std::uint32_t>(size); // files of 4 GiB or more are not supported
    if (!size_file_buffer(buffer, size32))
        return false;
    std::uint32_t read = 0;
    return sys::read_file(file, buffer.data(), size32, read) && read == size32;
}

bool write_whole_file(const FileHandle& file, const Bytes& buffer) {
    if (!file)
        return false;
    const auto size32 = static_cast<std::uint32_t>(buffer.size());
    std::uint32_t written = 0;
    return size32 == buffer.size() && sys::write_file(file, buffer.data(), size32, written) &&
           written == size32;
}

bool write_file_bytes(const std::u16string& path, const Bytes& buffer) {
    return write_whole_file(sys::create_file_for_writing(path), buffer);
}

bool write_temporary_file_bytes(const std::u16string& path, const Bytes& buffer) {
    return write_whole_file(sys::create_temporary_file_for_writing(path), buffer);
}

std::u16string read_text_file(const std::u16string& path) {
    Bytes bytes;
    if (!read_file_bytes(path, bytes) || bytes.size() % 2 != 0)
        return {};
    std::u16string text(bytes.size() / 2, u'\0');
    for (std::size_t i = 0; i < text.size(); ++i)
        text[i] = static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    return text;
}

} // namespace kp
