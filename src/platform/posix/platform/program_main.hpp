// Entry point of the console programs (kpack, drivers) on POSIX: arguments as UTF-16 text.
// Include once, in the file that defines program_main.
#pragma once

#include "common/text.hpp"

#include <string>
#include <vector>

int program_main(const std::vector<std::u16string>& arguments);

int main(int argc, char** argv) {
    std::vector<std::u16string> arguments;
    for (int i = 1; i < argc; ++i)
        arguments.push_back(kp::utf8_to_utf16(argv[i]));
    return program_main(arguments);
}
