// kpack run as the real command-line tool from a test's sandbox: its exit code, and what it
// printed on stdout and stderr (kept in stdout.txt and stderr.txt there).
#pragma once

#include "support/sandbox.hpp"

#include <algorithm>

namespace kp::test {

class KpackTest : public SandboxTest {
  protected:
    int kpack(const std::string& arguments) {
        return run_command(quoted(built_program("kpack")) + " " + arguments + " >" +
                           quoted(native("stdout.txt")) + " 2>" + quoted(native("stderr.txt")));
    }
    // Lines end in '\n' here whatever the platform's text mode wrote.
    std::string output(const char* file) {
        std::string text = text_of(read_native(native(file)));
        std::erase(text, '\r');
        return text;
    }
    std::string error_text() { return output("stderr.txt"); }
    static std::size_t line_count(const std::string& text) {
        return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
    }
};

} // namespace kp::test
