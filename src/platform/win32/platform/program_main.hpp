// Entry point of the console programs (kpack, drivers) on Windows: arguments as UTF-16 text.
// Include once, in the file that defines program_main.
#pragma once

#include <string>
#include <vector>

int program_main(const std::vector<std::u16string>& arguments);

int wmain(int argc, wchar_t** argv) {
    std::vector<std::u16string> arguments;
    for (int i = 1; i < argc; ++i)
        arguments.emplace_back(reinterpret_cast<const char16_t*>(argv[i]));
    return program_main(arguments);
}
