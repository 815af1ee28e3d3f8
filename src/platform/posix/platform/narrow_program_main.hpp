// Entry point of a console program that parses narrow arguments (kpack), on POSIX: argv's bytes
// as they stand, so that a file name which is not UTF-8 still reaches the file it names.
// Include once, in the file that defines narrow_program_main.
#pragma once

int narrow_program_main(int argc, const char* const* argv);

int main(int argc, char** argv) {
    return narrow_program_main(argc, argv);
}
