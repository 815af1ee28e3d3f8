// A fresh temporary folder per test, paths in the system's (Windows) form, and the fault
// binding reset before and after every test.
#pragma once

#include "common/text.hpp"
#include "fault_binding.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace kp::test {

// A native path in the form the system uses inside: backslash separators.
std::u16string system_path(const std::filesystem::path& path);

Bytes read_native(const std::filesystem::path& path);
void write_native(const std::filesystem::path& path, const Bytes& content);
Bytes bytes_of(std::string_view text);
std::string text_of(const Bytes& bytes);
Bytes pattern_bytes(std::size_t size, std::uint32_t seed = 1);
// The archive encrypted as app.enc carries it: the inner layer, then the outer.
Bytes make_app_enc(const Bytes& archive);

// Runs a command line through the shell (POSIX) or cmd (Windows); its exit status.
int run_command(const std::string& command);
bool running_under_windows();

// A program built beside the test binary (kpack, drivers): "kpack" gives .../kpack or ...\kpack.exe.
std::filesystem::path built_program(const std::string& name);
// A path in double quotes, native form, for run_command.
std::string quoted(const std::filesystem::path& path);

class SandboxTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    const std::filesystem::path& root() const { return root_; }
    std::filesystem::path native(const std::string& relative) const { return root_ / relative; }
    std::u16string path(const std::string& relative) const { return system_path(native(relative)); }

  private:
    std::filesystem::path root_;
};

} // namespace kp::test
