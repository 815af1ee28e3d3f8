// Entry point of a console program that parses narrow arguments (kpack), on Windows: wmain's
// UTF-16 arguments as UTF-8, since the narrow argv of a Windows program is in the ANSI code page
// and cannot hold every file name. Include once, in the file that defines narrow_program_main.
#pragma once

#include "common/text.hpp"

#include <string>
#include <vector>

int narrow_program_main(int argc, const char* const* argv);

int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> arguments;
    for (int i = 0; i < argc; ++i)
        arguments.push_back(kp::utf16_to_utf8(reinterpret_cast<const char16_t*>(argv[i])));
    std::vector<const char*> pointers;
    for (const std::string& argument : arguments)
        pointers.push_back(argument.c_str());
    pointers.push_back(nullptr);
    return narrow_program_main(argc, pointers.data());
}
