// kpack run as the real command-line tool from a test's sandbox: its exit code, and what it
// printed on stdout and stderr (kept in stdout.txt and stderr.txt there).
#pragma once

#include "support/sandbox.hpp"
#include "support/tool_sets.hpp"

#include <gmock/gmock.h>

#include <algorithm>

namespace kp::test {

using Listing = FileSet;

class KpackTest : public SandboxTest {
  protected:
    int kpack(const std::string& arguments) {
        return run_command(quoted(built_program("kpack")) + " " + arguments + " >" +
                           quoted(native("stdout.txt")) + " 2>" + quoted(native("stderr.txt")));
    }
    // The sandbox's files, each after a space, quoted for the command line.
    std::string paths(std::initializer_list<std::string> names) const {
        std::string line;
        for (const std::string& name : names)
            line += " " + quoted(native(name));
        return line;
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
    // Every file in the sandbox with its content, but what kpack printed.
    Listing listing() const {
        Listing files = files_under(root()).value();
        files.erase("stdout.txt");
        files.erase("stderr.txt");
        return files;
    }
    // A refusal: exit code 1, one line on stderr holding each fragment, no file made or changed.
    void expect_refused(const std::string& arguments, std::initializer_list<std::string> fragments) {
        SCOPED_TRACE(arguments);
        const auto before = listing();
        EXPECT_EQ(kpack(arguments), 1);
        for (const std::string& fragment : fragments)
            EXPECT_THAT(error_text(), testing::HasSubstr(fragment));
        EXPECT_EQ(line_count(error_text()), 1u) << error_text();
        EXPECT_EQ(listing(), before);
    }
};

} // namespace kp::test
