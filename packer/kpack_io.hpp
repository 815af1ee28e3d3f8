// File handling of kpack: whole reads, outputs that appear only when complete, one-line errors.
#pragma once

#include "common/text.hpp"
#include "platform/platform.hpp"

#include <filesystem>
#include <string>

namespace kp::pack {

// A command-line argument as a path: UTF-8 on Windows, any bytes on POSIX.
std::filesystem::path to_path(const std::string& argument);
// The path as given, for messages (a POSIX name that is not UTF-8 is shown byte for byte).
std::string display(const std::filesystem::path& path);

// The code units of a path; false when they cannot stand for it exactly (a POSIX name that is
// not valid UTF-8). Windows paths are UTF-16 already.
bool path_units(const std::filesystem::path& path, std::u16string& units);
// The path in the system's form (absolute, backslash separated); false when it has none.
bool system_form(const std::filesystem::path& path, std::u16string& text);
// The system's text for an errno value (strerror); otherwise when the value is 0.
std::string system_reason(int error_number, const char* otherwise);
// Why path cannot be opened for reading, in the system's words.
std::string open_failure_reason(const std::filesystem::path& path);
// Opens a regular file for reading through the seam and takes its size; on failure sets problem.
FileHandle open_input(const std::filesystem::path& path, std::uint64_t& size, std::string& problem);

// Prints "kpack: FILE: PROBLEM" on stderr and gives the exit code for a failure.
int fail(const std::filesystem::path& file, const std::string& problem);

// Reads a whole regular file into a buffer with room to grow by headroom bytes in place; on
// failure sets problem to a short description.
bool read_whole_file(const std::filesystem::path& path, Bytes& content, std::string& problem,
                     std::size_t headroom = 0);

// An output written under a temporary name in the target's folder and renamed over the target
// by commit(), once its data is on stable storage; the folder's entry is flushed after the rename.
// Destroyed uncommitted, it removes the temporary file.
class AtomicOutput {
  public:
    explicit AtomicOutput(std::filesystem::path target);
    ~AtomicOutput();
    AtomicOutput(const AtomicOutput&) = delete;
    AtomicOutput& operator=(const AtomicOutput&) = delete;

    bool open(std::string& problem);
    bool write(const std::uint8_t* data, std::size_t size, std::string& problem);
    bool commit(std::string& problem);
    const std::filesystem::path& target() const { return target_; }
    // The committed file gets source's permission bits (an executable host stays executable).
    void keep_permissions_of(std::filesystem::path source) { permissions_source_ = std::move(source); }

  private:
    std::filesystem::path target_;
    std::filesystem::path temporary_;
    std::filesystem::path permissions_source_;
    FileHandle file_;
    bool committed_ = false;
};

// Writes the whole buffer to path through an AtomicOutput.
bool write_file_atomically(const std::filesystem::path& path, const Bytes& content, std::string& problem);

} // namespace kp::pack
