#include "support/run.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "lib/GENUTIL.h"

extern char** environ;

namespace run {
namespace {

using clock_type = std::chrono::steady_clock;

int remaining_ms(clock_type::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// What the child needs, built before fork.
struct exec_block {
    command_line command;
    std::string dir;
    long file_size_limit = 0;
};

exec_block make_exec_block(const options& o) {
    exec_block block;
    block.command = program_command(o.args, o.env);
    block.dir = o.dir;
    block.file_size_limit = o.file_size_limit;
    return block;
}

[[noreturn]] void exec_child(exec_block& block) {
    signal(SIGPIPE, SIG_DFL);
    if (block.file_size_limit > 0) {
        // Writes beyond the limit then fail with EFBIG instead of a signal.
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{};
        limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(block.file_size_limit);
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
            _exit(125);
    }
    if (!block.dir.empty() && chdir(block.dir.c_str()) != 0)
        _exit(126);
    execve(block.command.argv[0], block.command.argv.data(), block.command.envp.data());
    _exit(127);
}

// Waits for the child until the deadline, then kills it.
void reap(pid_t pid, clock_type::time_point deadline, result& r) {
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid)
            break;
        if (done < 0 && errno != EINTR)
            return;
        if (clock_type::now() >= deadline) {
            r.timed_out = true;
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (WIFEXITED(status)) {
        r.exited = true;
        r.status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        r.signal = WTERMSIG(status);
    }
}

std::string without_cr(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text)
        if (c != '\r')
            out.push_back(c);
    return out;
}

}  // namespace

std::string binary() {
    return OSTREL_BINARY;
}

bool same_settings(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

command_line program_command(const std::vector<std::string>& args,
                             const std::vector<std::pair<std::string, std::string>>& env) {
    command_line command;
    command.strings.push_back(binary());
    command.strings.insert(command.strings.end(), args.begin(), args.end());
    for (std::string& s : command.strings)
        command.argv.push_back(s.data());
    command.argv.push_back(nullptr);

    auto overridden = [&](const std::string& entry) {
        if (entry.rfind("OSTREL_PATH=", 0) == 0)
            return true;
        for (const auto& kv : env)
            if (entry.rfind(kv.first + "=", 0) == 0)
                return true;
        return false;
    };
    for (char** e = environ; *e != nullptr; ++e)
        if (!overridden(*e))
            command.env_strings.push_back(*e);
    for (const auto& kv : env)
        command.env_strings.push_back(kv.first + "=" + kv.second);
    for (std::string& s : command.env_strings)
        command.envp.push_back(s.data());
    command.envp.push_back(nullptr);
    return command;
}

result piped(const options& o) {
    signal(SIGPIPE, SIG_IGN);  // the child may end before it has read its input
    exec_block block = make_exec_block(o);
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");

    const pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        exec_child(block);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    fcntl(in[1], F_SETFL, fcntl(in[1], F_GETFL) | O_NONBLOCK);

    result r;
    const auto deadline = clock_type::now() + std::chrono::milliseconds(o.timeout_ms);
    size_t written = 0;
    int in_fd = in[1];
    if (o.input.empty()) {
        close(in_fd);
        in_fd = -1;
    }
    int out_fd = out[0], err_fd = err[0];
    while ((out_fd >= 0 || err_fd >= 0) && clock_type::now() < deadline) {
        pollfd fds[3] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}, {in_fd, POLLOUT, 0}};
        if (poll(fds, 3, remaining_ms(deadline)) < 0 && errno != EINTR)
            break;
        char buffer[4096];
        for (int i = 0; i < 2; ++i) {
            int& fd = i == 0 ? out_fd : err_fd;
            if (fd < 0 || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0)
                continue;
            const ssize_t n = read(fd, buffer, sizeof buffer);
            if (n > 0) {
                (i == 0 ? r.out : r.err).append(buffer, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(fd);
                fd = -1;
            }
        }
        if (in_fd >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP)) != 0) {
            const ssize_t n = write(in_fd, o.input.data() + written, o.input.size() - written);
            if (n > 0)
                written += static_cast<size_t>(n);
            if ((n < 0 && errno != EAGAIN && errno != EINTR) || written == o.input.size()) {
                close(in_fd);
                in_fd = -1;
            }
        }
    }
    for (int fd : {in_fd, out_fd, err_fd})
        if (fd >= 0)
            close(fd);
    reap(pid, deadline, r);
    return r;
}

terminal::terminal(const options& o) {
    exec_block block = make_exec_block(o);
    int sync[2];
    if (pipe2(sync, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    winsize size{};
    size.ws_row = 25;
    size.ws_col = 80;
    pid_ = forkpty(&master_, nullptr, nullptr, &size);
    if (pid_ < 0)
        throw std::runtime_error("forkpty failed");
    if (pid_ == 0) {
        // Hold until the parent has read the terminal's settings.
        close(sync[1]);
        char go = 0;
        while (read(sync[0], &go, 1) < 0 && errno == EINTR) {
        }
        exec_child(block);
    }
    close(sync[0]);
    tcgetattr(master_, &initial_);
    const char go = 'g';
    while (write(sync[1], &go, 1) < 0 && errno == EINTR) {
    }
    close(sync[1]);
}

terminal::~terminal() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0)
        close(master_);
}

void terminal::pump(int timeout_ms) {
    if (eof_)
        return;
    pollfd fd{master_, POLLIN, 0};
    const int ready = poll(&fd, 1, timeout_ms);
    if (ready <= 0)
        return;
    char buffer[4096];
    const ssize_t n = read(master_, buffer, sizeof buffer);
    if (n > 0) {
        raw_ += without_cr(std::string(buffer, static_cast<size_t>(n)));
    } else if (n == 0 || errno != EINTR) {
        eof_ = true;  // EIO once the program has closed its side
    }
}

bool terminal::expect(const std::string& text, int timeout_ms) {
    const auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const size_t at = raw_.find(text, cursor_);
        if (at != std::string::npos) {
            cursor_ = at + text.size();
            return true;
        }
        if (eof_ || clock_type::now() >= deadline)
            return false;
        pump(remaining_ms(deadline));
    }
}

void terminal::send(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
            return;
        }
    }
}

bool terminal::wait_for_key_read(int timeout_ms) {
    const auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        termios now{};
        if (!settings(&now))
            return false;
        if ((now.c_lflag & (ICANON | ECHO)) == 0)
            return true;
        if (clock_type::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

bool terminal::settings(termios* out) const {
    return tcgetattr(master_, out) == 0;
}

result terminal::finish(int timeout_ms) {
    const auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    while (!eof_ && clock_type::now() < deadline)
        pump(remaining_ms(deadline));
    result r;
    if (pid_ > 0) {
        reap(pid_, deadline, r);
        pid_ = -1;
    }
    r.out = raw_;
    return r;
}

std::string terminal::output() const {
    return raw_;
}

std::string banner() {
    return std::string("\nOstrel 0.1a - 2 Dec 1998, ") + ostrel_author_credit + "\n";
}

std::string fatal_report(const std::string& error_message, const std::string& message) {
    std::string out = banner();
    if (!error_message.empty())
        out += "   Error Message: " + error_message + "\n";
    return out + "   " + message + "\n";
}

std::string workspace::path(const std::string& name) const {
    return name.empty() ? dir_.path() : dir_.file(name);
}

void workspace::put(const std::string& name, const fixture::bytes& data) const {
    std::filesystem::create_directories(std::filesystem::path(path(name)).parent_path());
    fixture::write_file(path(name), data);
}

void workspace::put_text(const std::string& name, const std::string& text) const {
    put(name, fixture::bytes(text.begin(), text.end()));
}

fixture::bytes workspace::bytes(const std::string& name) const {
    return fixture::read_file(path(name));
}

std::string workspace::text(const std::string& name) const {
    const fixture::bytes data = bytes(name);
    return std::string(data.begin(), data.end());
}

bool workspace::exists(const std::string& name) const {
    return fixture::file_exists(path(name));
}

std::vector<std::string> workspace::files() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir_.path())) {
        if (entry.is_regular_file()) {
            names.push_back(std::filesystem::relative(entry.path(), dir_.path()).generic_string());
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> workspace::log_lines() const {
    std::vector<std::string> lines;
    std::string line;
    auto stamped = [](const std::string& l) {
        if (l.size() < 11 || l.compare(8, 3, " - ") != 0)
            return false;
        for (int i : {0, 1, 3, 4, 6, 7})
            if (!std::isdigit(static_cast<unsigned char>(l[static_cast<size_t>(i)])))
                return false;
        return l[2] == ':' && l[5] == ':';
    };
    for (char c : text("ostrel.log")) {
        if (c == '\r')
            continue;
        if (c != '\n') {
            line.push_back(c);
            continue;
        }
        lines.push_back(stamped(line) ? line.substr(11) : line);
        line.clear();
    }
    if (!line.empty())
        lines.push_back(line);
    return lines;
}

options workspace::with(std::vector<std::string> args, std::string input,
                        std::vector<std::pair<std::string, std::string>> env) const {
    options o;
    o.dir = dir_.path();
    o.args = std::move(args);
    o.input = std::move(input);
    o.env = std::move(env);
    return o;
}

result workspace::run(std::vector<std::string> args, std::string input,
                      std::vector<std::pair<std::string, std::string>> env) const {
    return piped(with(std::move(args), std::move(input), std::move(env)));
}

std::string offer(const std::string& name, const std::string& size, const std::string& file,
                  const std::string& note) {
    return "\nImage " + name + " (" + size + ") -> " + file + note + "\n" + export_prompt + "\n";
}

}  // namespace run
