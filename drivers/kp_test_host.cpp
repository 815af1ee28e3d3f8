// A host for the launcher: starts the program given with the arguments given as its child, waits
// for it and exits with its exit code. A tool package appended to this executable is what the
// launcher finds in its parent. With --orphan (POSIX) the child is held stopped until this host
// has exited, its id is printed, and the caller resumes it with SIGCONT: a parent that has exited.
#include <cstdio>
#include <string>
#include <vector>

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

static std::wstring quoted(const std::wstring& argument) {
    std::wstring text = L"\"";
    std::size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        text.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        text += c;
    }
    text.append(backslashes * 2, L'\\');
    return text + L"\"";
}

int wmain(int argc, wchar_t** argv) {
    if (argc < 2 || std::wstring(argv[1]) == L"--orphan")
        return usage();
    std::wstring line;
    for (int i = 1; i < argc; ++i)
        line += (i == 1 ? L"" : L" ") + quoted(argv[i]);
    std::vector<wchar_t> buffer(line.begin(), line.end());
    buffer.push_back(L'\0');
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(argv[1], buffer.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
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
