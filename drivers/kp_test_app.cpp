// A stand-in for the application: says that it started and, when KP_APP_RECORD names a file,
// appends one line there with its command line and working directory. KP_APP_LINGER_MS keeps it
// running for that long (a "running application" for the launcher to find).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

// UTF-8 text of a path, or of any wide string held in one.
std::string utf8(const std::filesystem::path& text) {
    const auto bytes = text.u8string();
    return std::string(bytes.begin(), bytes.end());
}

std::string working_directory() {
    std::error_code error;
    const auto directory = std::filesystem::current_path(error);
    return error ? std::string("?") : utf8(directory);
}

int record_start(int argument_count, const std::string& command_line) {
    const std::string line = "start\targc=" + std::to_string(argument_count) +
                             "\tcwd=" + working_directory() + "\tcmdline=" + command_line + "\n";
    std::printf("kestrin_pad.exe started: %s", line.c_str() + 6);
    std::fflush(stdout);
    if (const char* record = std::getenv("KP_APP_RECORD")) {
        if (std::FILE* file = std::fopen(record, "ab")) {
            std::fputs(line.c_str(), file);
            std::fclose(file);
        }
    }
    if (const char* linger = std::getenv("KP_APP_LINGER_MS"))
        std::this_thread::sleep_for(std::chrono::milliseconds(std::atol(linger)));
    return 0;
}

} // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t**) {
    return record_start(argc, utf8(GetCommandLineW()));
}
#else
int main(int argc, char** argv) {
    std::string line;
    for (int i = 0; i < argc; ++i)
        line += "[" + std::string(argv[i]) + "]";
    return record_start(argc, line);
}
#endif
