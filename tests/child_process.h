// A child process for the operations that end the run (the critical error
// report, the fatal exit): runs a body after fork() with standard error
// captured. POSIX-only, so the tests that include it stay out of the
// Windows build.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>

namespace libtest {

struct child_result {
    bool exited = false;
    int status = -1;
    std::string err;  // everything the child wrote to standard error
};

// Runs `body` in a child process with standard error captured; a body that
// returns ends the child with status 99.
inline child_result run_child(const std::function<void()>& body) {
    child_result result;
    std::fflush(stdout);
    std::fflush(stderr);
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0)
        return result;
    const pid_t pid = fork();
    if (pid < 0)
        return result;
    if (pid == 0) {
        close(pipe_fds[0]);
        dup2(pipe_fds[1], 2);
        close(pipe_fds[1]);
        body();
        _exit(99);
    }
    close(pipe_fds[1]);
    char buffer[4096];
    for (ssize_t n; (n = read(pipe_fds[0], buffer, sizeof(buffer))) > 0;)
        result.err.append(buffer, n);
    close(pipe_fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    result.exited = WIFEXITED(status);
    result.status = result.exited ? WEXITSTATUS(status) : -1;
    return result;
}

}  // namespace libtest
