#pragma once
// Runs a piece of a test as the user nobody, so that file rights apply to it.
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

namespace kvr::test {

// Runs fn in a child process as the user nobody with the one group nogroup
// (root's supplementary groups dropped too, so file permissions apply); returns
// the child's exit status: fn's result, 100 when the rights could not be given up.
inline int RunUnprivilegedStatus(const std::function<int()>& fn) {
    const pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        const gid_t group = 65534;
        if (geteuid() == 0 && (setgroups(1, &group) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) _exit(100);
        _exit(fn());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The same for fn that tells success; true when the child ran fn without a failed expectation.
inline bool RunUnprivileged(const std::function<bool()>& fn) {
    return RunUnprivilegedStatus([&] { return fn() ? 0 : 1; }) == 0;
}

}  // namespace kvr::test
