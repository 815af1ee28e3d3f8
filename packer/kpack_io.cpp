#include "kpack_io.hpp"

#include "common/file_io.hpp"
#include "platform/platform.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <system_error>
#include <type_traits>

namespace kp::pack {

std::filesystem::path to_path(const std::string& argument) {
    // As UTF-8: Windows converts it to UTF-16; POSIX keeps the bytes as they stand.
    return std::filesystem::path(std::u8string(argument.begin(), argument.end()));
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

std::string system_reason(int error_number, const char* otherwise) {
    return error_number != 0 ? std::generic_category().message(error_number) : otherwise;
}

std::string open_failure_reason(const std::filesystem::path& path) {
    // The seam says only that the file did not open; the C library's open says why.
    errno = 0;
    const std::ifstream probe(path, std::ios::binary);
    return probe ? "cannot be opened for reading" : system_reason(errno, "cannot be opened for reading");
}

namespace {

// Whether path names a regular file; else problem says why not.
bool is_regular_input(const std::filesystem::path& path, std::string& problem) {
    std::error_code error;
    const auto status = std::filesystem::status(path, error);
    if (!std::filesystem::exists(status))
        problem = error ? error.message() : system_reason(ENOENT, "");
    else if (!std::filesystem::is_regular_file(status))
        problem = std::filesystem::is_directory(status) ? "is a folder, not a file" : "not a regular file";
    return problem.empty();
}

} // namespace

FileHandle open_input(const std::filesystem::path& path, std::uint64_t& size, std::string& problem) {
    if (!is_regular_input(path, problem))
        return {};
    std::u16string system_path;
    if (!system_form(path, system_path)) {
        problem = "path cannot be used (not valid UTF-8, or a backslash in a name)";
        return {};
    }
    FileHandle file = sys::open_file_for_reading(system_path);
    if (!file || !sys::file_size(file, size)) {
        problem = open_failure_reason(path);
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
    if (!is_regular_input(path, problem))
        return false;
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    if (!in || error) {
        problem = error ? error.message() : system_reason(errno, "cannot be opened for reading");
        return false;
    }
    if (!size_file_buffer(content, size, headroom)) {
        problem = "does not fit in the memory available";
        return false;
    }
    errno = 0;
    if (size != 0 && !in.read(reinterpret_cast<char*>(content.data()), static_cast<std::streamsize>(size))) {
        problem =
            "cannot be read: " + system_reason(errno, "it ended early (did it change while kpack ran?)");
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
    file_ = FileHandle();
    if (!committed_) {
        std::error_code ignored;
        std::filesystem::remove(temporary_, ignored);
    }
}

bool AtomicOutput::open(std::string& problem) {
    // The temporary file is kpack's own business: a failure names the target and why.
    std::u16string system_path;
    errno = 0;
    if (system_form(temporary_, system_path))
        file_ = sys::create_file_for_writing(system_path);
    if (!file_) {
        problem = "cannot be created: " + system_reason(errno, "the folder does not take new files");
        return false;
    }
    return true;
}

bool AtomicOutput::write(const std::uint8_t* data, std::size_t size, std::string& problem) {
    constexpr std::size_t PIECE = 1u << 30; // the seam writes at most 4 GiB - 1 per call
    for (std::size_t done = 0; done < size;) {
        const auto piece = static_cast<std::uint32_t>(std::min(PIECE, size - done));
        std::uint32_t written = 0;
        errno = 0;
        if (!sys::write_file(file_, data + done, piece, written) || written != piece) {
            problem = "cannot be written: " + system_reason(errno, "the write failed (disk full?)");
            return false;
        }
        done += piece;
    }
    return true;
}

// The data reaches stable storage before the rename gives it the target's name, and the name
// after: a power cut leaves the old output or the new one, never a named file of lost content.
bool AtomicOutput::commit(std::string& problem) {
    errno = 0;
    if (!sys::flush_file(file_)) {
        problem = "cannot be written in full: " + system_reason(errno, "the flush failed (disk full?)");
        return false;
    }
    file_ = FileHandle();
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
    std::u16string folder;
    errno = 0;
    if (!system_form(target_.parent_path().empty() ? "." : target_.parent_path(), folder) ||
        !sys::flush_directory(folder)) {
        problem = "cannot be put in place durably: " + system_reason(errno, "its folder cannot be flushed");
        std::filesystem::remove(target_, error); // a failed run leaves no output
        return false;
    }
    return true;
}

bool write_file_atomically(const std::filesystem::path& path, const Bytes& content, std::string& problem) {
    AtomicOutput output(path);
    return output.open(problem) && output.write(content.data(), content.size(), problem) &&
           output.commit(problem);
}

} // namespace kp::pack
