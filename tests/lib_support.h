// Helpers shared by the general library's tests: a log that a test opens in
// its own temporary directory and reads back, and a child process for the
// operations that end the run.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "lib/FILEUTIL.h"
#include "lib/GENERR.h"
#include "support/fixture.h"

namespace libtest {

inline std::string read_text(const std::string& path) {
    const fixture::bytes data = fixture::read_file(path);
    return std::string(data.begin(), data.end());
}

inline bool is_time_stamp(const std::string& line) {
    if (line.size() < 11)
        return false;
    for (size_t i : {0, 1, 3, 4, 6, 7}) {
        if (!std::isdigit(static_cast<unsigned char>(line[i])))
            return false;
    }
    return line[2] == ':' && line[5] == ':' && line.compare(8, 3, " - ") == 0;
}

// "MM/DD/YY": two digits each, separated by slashes.
inline bool is_short_date(const std::string& text) {
    if (text.size() != 8 || text[2] != '/' || text[5] != '/')
        return false;
    for (size_t i : {0, 1, 3, 4, 6, 7}) {
        if (!std::isdigit(static_cast<unsigned char>(text[i])))
            return false;
    }
    return true;
}

// The lines of a log, time stamps removed where a line has one.
inline std::vector<std::string> log_messages(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(is_time_stamp(line) ? line.substr(11) : line);
    }
    return lines;
}

// Opens a log in a fresh directory; close() ends it and returns its lines.
class scoped_log {
public:
    scoped_log() : path_(dir_.file("test.log")) { open_log(path_.c_str()); }
    ~scoped_log() { close_log(); }
    const std::string& path() const { return path_; }
    const fixture::temp_dir& dir() const { return dir_; }
    std::vector<std::string> close() {
        close_log();
        return log_messages(read_text(path_));
    }

private:
    fixture::temp_dir dir_;
    std::string path_;
};

inline bool contains(const std::vector<std::string>& lines, const std::string& wanted) {
    for (const std::string& line : lines) {
        if (line == wanted)
            return true;
    }
    return false;
}

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
