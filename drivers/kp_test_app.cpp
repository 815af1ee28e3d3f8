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

#ifdef _WIN32
// The C runtime's append mode seeks to the end and then writes: applications started together
// could write at one offset, and a record would be lost. A lock on the file makes it one step.
void append_record(const char* path, const std::string& line) {
    HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    OVERLAPPED whole{};
    if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)) {
        DWORD written = 0;
        SetFilePointerEx(file, LARGE_INTEGER{}, nullptr, FILE_END);
        WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        UnlockFileEx(file, 0, MAXDWORD, MAXDWORD, &whole);
    }
    CloseHandle(file);
}
#else
// O_APPEND: every write lands at the end, whoever else appends.
void append_record(const char* path, const std::string& line) {
    if (std::FILE* file = std::fopen(path, "ab")) {
        std::fputs(line.c_str(), file);
        std::fclose(file);
    }
}
#endif

int record_start(int argument_count, const std::string& command_line) {
    std::error_code error;
    const auto directory = std::filesystem::current_path(error);
    const std::string line = "start\targc=" + std::to_string(argument_count) +
                             "\tcwd=" + (error ? "?" : utf8(directory)) + "\tcmdline=" + command_line + "\n";
    std::printf("kestrin_pad.exe started: %s", line.c_str() + 6);
    std::fflush(stdout);
    if (const char* record = std::getenv("KP_APP_RECORD"))
        append_record(record, line);
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
