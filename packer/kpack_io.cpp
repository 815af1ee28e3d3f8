#include "kpack_io.hpp"

#include "common/file_io.hpp"
#include "platform/platform.hpp"

#include <algorithm>
#include <cstdio>
#include <system_error>
#include <type_traits>

namespace kp::pack {

std::filesystem::path to_path(const std::u16string& text) {
    return std::filesystem::path(text);
}

namespace {

template <typename Native> bool native_units(const Native& native, std::u16string& units) {
    if constexpr (std::is_same_v<typename Native::value_type, char>) {
        units = utf8_to_utf16(native);
        return utf16_to_utf8(units) == native;
    } else {
        units.assign(native.begin(), native.end());
        return true;
    }
}

template <typename Native> std::string native_text(const Native& native) {
    if constexpr (std::is_same_v<typename Native::value_type, char>) {
        return native;
    } else {
        return utf16_to_utf8(std::u16string(native.begin(), native.end()));
    }
}

} // namespace

std::string display(const std::filesystem::path& path) {
    return native_text(path.native());
}

bool path_units(const std::filesystem::path& path, std::u16string& units) {
    return native_units(path.native(), units);
}

bool system_form(const std::filesystem::path& path, std::u16string& text) {
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(path, error);
    if (error || !path_units(absolute, text))
        return false;
    if constexpr (std::filesystem::path::preferred_separator == '/') {
        if (text.find(u'\\') != std::u16string::npos)
            return false;
    }
    std::replace(text.begin(), text.end(), u'/', u'\\');
    return true;
}

FileHandle open_input(const std::filesystem::path& path, std::uint64_t& size, std::string& problem) {
    std::error_code error;
    const auto status = std::filesystem::status(path, error);
    if (error || !std::filesystem::exists(status)) {
        problem = "no such file";
        return {};
    }
    if (!std::filesystem::is_regular_file(status)) {
        problem = "not a regular file";
        return {};
    }
    std::u16string system_path;
    if (!system_form(path, system_path)) {
        problem = "path cannot be used (not valid UTF-8, or a backslash in a name)";
        return {};
    }
    FileHandle file = sys::open_file_for_reading(system_path);
    if (!file || !sys::file_size(file, size)) {
        problem = "cannot be opened for reading";
        return {};
    }
    return file;
}

int fail(const std::filesystem::path& file, const std::string& problem) {
    std::fprintf(stderr, "kpack: %s: %s\n", display(file).c_str(), problem.c_str());
    return 1;
}

bool read_whole_file(const std::filesystem::path& path, Bytes& content, std::string& problem,
                     std::size_t headroom) {
    std::error_code error;
    const auto status = std::filesystem::status(path, error);
    if (error || !std::filesystem::exists(status)) {
        problem = "no such file";
        return false;
    }
    if (!std::filesystem::is_regular_file(status)) {
        problem = "not a regular file";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    const auto size = std::filesystem::file_size(path, error);
    if (!in || error) {
        problem = "cannot be opened for reading";
        return false;
    }
    if (!size_file_buffer(content, size, headroom)) {
        problem = "does not fit in the memory available";
        return false;
    }
    if (size != 0 && !in.read(reinterpret_cast<char*>(content.data()), static_cast<std::streamsize>(size))) {
        problem = "cannot be read";
        return false;
    }
    return true;
}

AtomicOutput::AtomicOutput(std::filesystem::path target) : target_(std::move(target)) {
    auto name = target_.filename();
    name += ".kpack-" + std::to_string(sys::current_process_id()) + ".tmp";
    temporary_ = target_.parent_path() / name;
}

AtomicOutput::~AtomicOutput() {
    file_.close();
    if (!committed_) {
        std::error_code ignored;
        std::filesystem::remove(temporary_, ignored);
    }
}

bool AtomicOutput::open(std::string& problem) {
    file_.open(temporary_, std::ios::binary | std::ios::trunc);
    if (!file_) {
        problem = "cannot be created: " + display(temporary_);
        return false;
    }
    return true;
}

bool AtomicOutput::write(const std::uint8_t* data, std::size_t size, std::string& problem) {
    // In pieces of 64 KiB, as the launcher writes (see the POSIX write_file): one large write can
    // leave the page cache copying into memory the host of a virtual machine has to hand back.
    constexpr std::size_t PIECE = 64 * 1024;
    for (std::size_t done = 0; done < size;) {
        const std::size_t piece = std::min(PIECE, size - done);
        if (!file_.write(reinterpret_cast<const char*>(data + done), static_cast<std::streamsize>(piece))) {
            problem = "cannot be written (disk full?)";
            return false;
        }
        done += piece;
    }
    return true;
}

bool AtomicOutput::commit(std::string& problem) {
    file_.flush();
    const bool flushed = static_cast<bool>(file_);
    file_.close();
    if (!flushed || file_.fail()) {
        problem = "cannot be written in full";
        return false;
    }
    std::error_code error;
    if (!permissions_source_.empty()) {
        const auto permissions = std::filesystem::status(permissions_source_, error).permissions();
        if (!error)
            std::filesystem::permissions(temporary_, permissions, error);
        error.clear(); // the content is what matters; a file system without modes keeps its own
    }
    std::filesystem::rename(temporary_, target_, error);
    if (error) {
        problem = "cannot be put in place: " + error.message();
        return false;
    }
    committed_ = true;
    return true;
}

bool write_file_atomically(const std::filesystem::path& path, const Bytes& content, std::string& problem) {
    AtomicOutput output(path);
    return output.open(problem) && output.write(content.data(), content.size(), problem) &&
           output.commit(problem);
}

} // namespace kp::pack
