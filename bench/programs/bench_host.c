/* The host of the launch benchmark: starts the program given with the arguments given, waits for
 * it and exits with its status. A tool package appended to this executable is what the launcher
 * finds in its parent. C and libc alone, so that the host costs both sides the same little. */
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc < 2) {
        fputs("usage: bench_host PROGRAM [ARGUMENTS...]\n", stderr);
        return 2;
    }
    const pid_t child = fork();
    if (child < 0)
        return 1;
    if (child == 0) {
        execv(argv[1], argv + 1);
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
