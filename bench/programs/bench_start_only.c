/* The baseline of the launch benchmark: starts one program from a working directory with the
 * spawn call the POSIX launcher makes (posix_spawn: change of directory, descriptors above 2
 * closed, a clear signal mask, every signal at its default), without waiting, and exits.
 * C and libc alone: the least a program that starts the application can cost. */
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <unistd.h>

extern char** environ;

int main(int argc, char** argv) {
    if (argc != 3) {
        fputs("usage: bench_start_only PROGRAM WORKING_DIRECTORY\n", stderr);
        return 2;
    }
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    sigset_t no_signals;
    sigset_t all_signals;
    sigemptyset(&no_signals);
    sigfillset(&all_signals);
    int ok = posix_spawn_file_actions_addchdir_np(&actions, argv[2]) == 0 &&
             posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1) == 0;
    posix_spawnattr_setsigmask(&attributes, &no_signals);
    posix_spawnattr_setsigdefault(&attributes, &all_signals);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    char* child_argv[] = {argv[1], NULL};
    pid_t child = 0;
    ok = ok && posix_spawn(&child, argv[1], &actions, &attributes, child_argv, environ) == 0;
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return ok ? 0 : 1;
}
