// A host for the launcher: starts the program given with the arguments given as its child, waits
// for it and exits with its exit code. A tool package appended to this executable is what the
// launcher finds in its parent. With --orphan (POSIX) the child is held stopped until this host
// has exited, its id is printed, and the caller resumes it with SIGCONT: a parent that has exited.
#include <cstdio>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>
#endif

static int usage() {
    std::fputs("usage: kp_test_host [--orphan] PROGRAM [ARGUMENTS...]\n", stderr);
    return 2;
}

#ifdef _WIN32

int wmain(int argc, wchar_t** argv) {
    if (argc < 2 || std::wstring(argv[1]) == L"--orphan")
        return usage();
    // The child's command line is this host's past its own name, as it was given.
    std::wstring line = GetCommandLineW();
    bool quoted = false;
    std::size_t end = 0;
    for (; end < line.size() && (quoted || (line[end] != L' ' && line[end] != L'\t')); ++end)
        quoted = quoted != (line[end] == L'"');
    line.erase(0, line.find_first_not_of(L" \t", end));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(argv[1], line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        std::fprintf(stderr, "kp_test_host: cannot start the program (error %lu)\n", GetLastError());
        return 1;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<int>(code);
}

#else

int main(int argc, char** argv) {
    const bool orphan = argc > 1 && std::string(argv[1]) == "--orphan";
    const int first = orphan ? 2 : 1;
    if (argc <= first)
        return usage();
    std::fflush(stdout);
    const pid_t child = ::fork();
    if (child < 0)
        return 1;
    if (child == 0) {
        if (orphan)
            ::raise(SIGSTOP);
        ::execv(argv[first], argv + first);
        ::_exit(127);
    }
    int status = 0;
    if (orphan) {
        ::waitpid(child, &status, WUNTRACED);
        std::printf("%d\n", static_cast<int>(child));
        return 0;
    }
    while (::waitpid(child, &status, 0) < 0) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

#endif
