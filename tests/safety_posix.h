// Helpers of the end-to-end safety tests (POSIX only): the built ostrel
// started with standard streams, limits and signals as a hostile or unlucky
// user would leave them, stopped at a known moment through its test pause
// (OSTREL_TEST_PAUSE), and the files of a workspace looked at afterwards.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/fixture.h"
#include "support/run.h"


namespace safety {

using clock_type = std::chrono::steady_clock;

struct launch {
    std::string dir;
    std::vector<std::string> args;
    std::vector<std::pair<std::string, std::string>> env;
    std::string input;  // standard input: a file holding these bytes
    // Standard input is a pipe that the test writes (process::input_fd)
    // instead, opened non-blocking when asked.
    bool input_pipe = false;
    bool nonblocking_input = false;
    std::string stdout_path;   // "" : captured in a file of the process
    std::vector<int> closed;   // descriptors closed when the program starts
    long file_size_limit = 0;  // RLIMIT_FSIZE; SIGXFSZ keeps its default
    uid_t uid = 0;             // run as this user (and gid), 0: as we are
    gid_t gid = 0;
};

// The program, running. Its standard output and error go to files that
// out() and err() read; the destructor kills it if it is still there.
class process {
public:
    explicit process(const launch& l) {
        const std::string out = l.stdout_path.empty() ? files_.file("out") : l.stdout_path;
        const std::string err = files_.file("err");
        const std::string in = files_.file("in");
        fixture::write_file(in, fixture::bytes(l.input.begin(), l.input.end()));
        int pipe_fds[2] = {-1, -1};
        if (l.input_pipe && pipe(pipe_fds) != 0)
            return;
        // The program may end before it has read what the test writes.
        if (l.input_pipe)
            signal(SIGPIPE, SIG_IGN);

        run::command_line command = run::program_command(l.args, l.env);

        pid_ = fork();
        if (pid_ != 0) {
            if (l.input_pipe) {
                close(pipe_fds[0]);
                input_fd_ = pipe_fds[1];
            }
            return;
        }
        // The child: only async-signal-safe calls from here.
        for (int number = 1; number < NSIG; ++number)
            signal(number, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        int in_fd = l.input_pipe ? pipe_fds[0] : open(in.c_str(), O_RDONLY);
        if (l.input_pipe)
            close(pipe_fds[1]);
        const int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        const int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        if (in_fd < 0 || out_fd < 0 || err_fd < 0 || dup2(in_fd, 0) < 0 || dup2(out_fd, 1) < 0 ||
            dup2(err_fd, 2) < 0)
            _exit(125);
        if (l.nonblocking_input)
            fcntl(0, F_SETFL, fcntl(0, F_GETFL) | O_NONBLOCK);
        if (l.file_size_limit > 0) {
            const rlimit limit = {static_cast<rlim_t>(l.file_size_limit),
                                  static_cast<rlim_t>(l.file_size_limit)};
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
                _exit(125);
        }
        if (l.uid != 0 && (setgroups(0, nullptr) != 0 || setgid(l.gid) != 0 || setuid(l.uid) != 0))
            _exit(124);
        if (!l.dir.empty() && chdir(l.dir.c_str()) != 0)
            _exit(126);
        for (const int descriptor : l.closed)
            close(descriptor);
        execve(command.argv[0], command.argv.data(), command.envp.data());
        _exit(127);
    }
    ~process() {
        close_input();
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    process(const process&) = delete;
    process& operator=(const process&) = delete;

    pid_t pid() const { return pid_; }
    int input_fd() const { return input_fd_; }
    void close_input() {
        if (input_fd_ >= 0)
            close(input_fd_);
        input_fd_ = -1;
    }

    // The exit status, or minus the signal that ended the program; -1000
    // when it was still running after `timeout_ms` (it is killed then).
    int wait(int timeout_ms = 30000) {
        const auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
        int status = 0;
        for (;;) {
            const pid_t done = waitpid(pid_, &status, WNOHANG);
            if (done == pid_)
                break;
            if (done < 0 && errno != EINTR)
                return -2000;
            if (clock_type::now() >= deadline) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                reaped_ = true;
                return -1000;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        reaped_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    }

    std::string out() const { return text(files_.file("out")); }
    std::string err() const { return text(files_.file("err")); }

private:
    static std::string text(const std::string& path) {
        const fixture::bytes data = fixture::read_file(path);
        return std::string(data.begin(), data.end());
    }

    fixture::temp_dir files_;
    pid_t pid_ = -1;
    int input_fd_ = -1;
    bool reaped_ = false;
};

// Waits until `path` exists (the program reached its pause).
inline bool wait_for_file(const std::string& path, int timeout_ms = 20000) {
    const auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    struct stat info {};
    while (lstat(path.c_str(), &info) != 0) {
        if (clock_type::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Waits until `text` is in the file at `path` (output that the program
// flushed).
inline bool wait_for_text(const std::string& path, const std::string& text,
                          int timeout_ms = 20000) {
    const auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const fixture::bytes data = fixture::read_file(path);
        if (std::string(data.begin(), data.end()).find(text) != std::string::npos)
            return true;
        if (clock_type::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// The program's pause at `point`, marked by a file in a directory of its own.
struct pause_at {
    explicit pause_at(const std::string& point) : marker(dir.file("paused")) {
        setting = {"OSTREL_TEST_PAUSE", point + ":" + marker};
    }
    bool reached(int timeout_ms = 20000) const { return wait_for_file(marker, timeout_ms); }
    void release() const { unlink(marker.c_str()); }

    fixture::temp_dir dir;
    std::string marker;
    std::pair<std::string, std::string> setting;
};

// Temporary files of a replacement, named after the file they replace.
inline std::vector<std::string> temporary_files(const std::string& dir) {
    std::vector<std::string> found;
    for (const std::string& name : fixture::names_in(dir))
        if (name.find(".ostrel-") != std::string::npos)
            found.push_back(name);
    return found;
}

}  // namespace safety
