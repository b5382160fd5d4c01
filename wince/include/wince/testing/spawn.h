// Test support: starts a helper program (a proxy, a server) that dies with
// the test process, so a crash or a ctest time-out leaves nothing running.
#pragma once

#include <signal.h>
#include <sys/prctl.h>
#include <sys/types.h>
#include <unistd.h>

extern char** environ;

// Runs `path` with `argv` (null-terminated) and this process's environment
// in a child that receives SIGKILL when the calling thread ends, so call it
// from a thread that outlives the child (the test's main thread). The child
// must keep this process's user: a change of user clears that signal.
// Returns the child's pid, or -1.
inline pid_t WinceSpawnTiedToParent(const char* path, char* const argv[]) {
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid != 0)
        return pid;  // the parent, or -1
    // Only async-signal-safe calls here: the test process may have threads.
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent)
        ::_exit(127);  // the parent is already gone
    ::execve(path, argv, environ);
    ::_exit(127);
}
