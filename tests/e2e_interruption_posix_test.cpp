// Runs that are interrupted or limited, end to end: a file-size limit, the
// signals that end a run while a file is being saved, Ctrl-Z at a prompt,
// and a standard input that someone left non-blocking. Whatever happens, the
// user's files stay as they were or become the finished new ones, and no
// temporary file is left behind.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "safety_posix.h"
#include "support/fixture.h"
#include "support/run.h"

namespace {

using fixture::bytes;
using safety::launch;
using safety::pause_at;
using safety::process;
namespace fs = std::filesystem;

using run::offer;

// A texture file large enough that a small file-size limit stops its save,
// the picture that an import puts into its first image, and the PCX file
// that an export writes for that image.
struct big_texture {
    std::vector<fixture::image> images = {fixture::simple_image("BIG", 300, 200, false),
                                          fixture::simple_image("SMALL", 8, 4, true, true, 1)};
    bytes picture = fixture::pixels(300, 200, 77);

    bytes texture() const { return fixture::texture_file(images); }
    bytes big_pcx() const {
        return fixture::pcx_file(300, 200, fixture::pixels(300, 200), fixture::palette());
    }
    bytes small_pcx() const {
        return fixture::pcx_file(8, 4, fixture::pixels(8, 4, 1), fixture::cmap(1));
    }
};

const bytes earlier_file = {'m', 'i', 'n', 'e'};

void put_files(const run::workspace& ws, const big_texture& t) {
    ws.put("TEXBSI.001", t.texture());
    ws.put("redguard.col", fixture::palette());
    ws.put_text("ostrel.ini", "");
    ws.put("new.pcx", fixture::pcx_file(300, 200, t.picture, fixture::palette()));
    ws.put("big.pcx", earlier_file);  // the user's own, from before
}

launch import(const run::workspace& ws) {
    launch l;
    l.dir = ws.path();
    l.args = {"/2TEX", "/i:1", "TEXBSI.001", "new.pcx"};
    return l;
}

launch export_all(const run::workspace& ws, const std::string& keys) {
    launch l;
    l.dir = ws.path();
    l.args = {"TEXBSI.001"};
    l.input = keys;
    return l;
}

// --- A file-size limit -------------------------------------------------------------------

// The limit's signal is left as the shell gives it (its default ends the
// process): the program itself must make the write fail instead.
TEST(Interruption, FileSizeLimitFailsTheWriteInsteadOfEndingTheRun) {
    const big_texture t;
    {
        SCOPED_TRACE("import");
        run::workspace ws;
        put_files(ws, t);
        launch l = import(ws);
        l.file_size_limit = 16 * 1024;
        process importing(l);
        EXPECT_EQ(importing.wait(), 0);
        EXPECT_EQ(importing.out(), run::fatal_report("Could not write to file!",
                                                     "Error saving texture file 'TEXBSI.001'!"));
        EXPECT_EQ(ws.bytes("TEXBSI.001"), t.texture());
        EXPECT_TRUE(safety::temporary_files(ws.path()).empty());
    }
    {
        SCOPED_TRACE("export");
        run::workspace ws;
        put_files(ws, t);
        launch l = export_all(ws, "yy");
        l.file_size_limit = 16 * 1024;
        process exporting(l);
        EXPECT_EQ(exporting.wait(), 1);
        EXPECT_EQ(exporting.out(), offer("big", "300x200", "big.pcx") +
                                       "      Error exporting PCX file!\n"
                                       "      could not write 'big.pcx': File too large\n" +
                                       offer("small", "8x4", "small.pcx"));
        EXPECT_EQ(ws.bytes("big.pcx"), earlier_file);
        EXPECT_EQ(ws.bytes("small.pcx"), t.small_pcx());
        EXPECT_TRUE(safety::temporary_files(ws.path()).empty());
    }
}

// --- Signals while a file is saved -----------------------------------------------------------

// Ctrl-C, SIGTERM and SIGHUP, at the moments of a save where a temporary file
// exists: just made, and complete but not yet renamed. The run ends by the
// signal, as it would have; the file it was saving is as it was.
TEST(Interruption, SignalsDuringASaveLeaveNoTemporaryFile) {
    const big_texture t;
    for (const char* point : {"replacing", "committing"}) {
        for (const int number : {SIGINT, SIGTERM, SIGHUP}) {
            for (const bool importing : {true, false}) {
                SCOPED_TRACE(std::string(point) + ", signal " + std::to_string(number) +
                             (importing ? ", import" : ", export"));
                run::workspace ws;
                put_files(ws, t);
                const pause_at paused(point);
                launch l = importing ? import(ws) : export_all(ws, "y");
                l.env = {paused.setting};
                process run(l);
                ASSERT_TRUE(paused.reached()) << run.out();
                ASSERT_EQ(safety::temporary_files(ws.path()).size(), 1u);
                kill(run.pid(), number);
                EXPECT_EQ(run.wait(), -number) << run.out();
                EXPECT_TRUE(safety::temporary_files(ws.path()).empty());
                EXPECT_EQ(ws.bytes("TEXBSI.001"), t.texture());
                EXPECT_EQ(ws.bytes("big.pcx"), earlier_file);
            }
        }
    }
}

// The same in the middle of writing a large file: the moment the temporary
// file is seen part-written. A loaded machine may let the write pass unseen;
// the run is then made again, a few times.
TEST(Interruption, TerminatedHalfwayThroughTheWriteLeavesNoTemporaryFile) {
    constexpr int side = 4096;
    run::workspace ws;
    fixture::image big = fixture::simple_image("BIG", 4, 4, false);
    big.records[0].content = fixture::bhdr(side, side);
    big.records[2].content.assign(static_cast<size_t>(side) * side, 0x22);  // BHDR IFHD DATA
    const bytes texture = fixture::texture_file({big});
    ws.put("redguard.col", fixture::palette());
    ws.put_text("ostrel.ini", "");
    ws.put("new.pcx", fixture::pcx_file(side, side, bytes(static_cast<size_t>(side) * side, 0x11),
                                        fixture::palette()));
    for (int attempt = 0; attempt < 5; ++attempt) {
        ws.put("TEXBSI.001", texture);
        process importing(import(ws));
        bool caught = false;
        const auto deadline = safety::clock_type::now() + std::chrono::seconds(20);
        while (!caught && safety::clock_type::now() < deadline) {
            for (const std::string& name : safety::temporary_files(ws.path())) {
                std::error_code error;
                const auto size = fs::file_size(ws.path(name), error);
                if (!error && size > 0 && size < texture.size()) {
                    kill(importing.pid(), SIGTERM);
                    caught = true;
                }
            }
            siginfo_t ended{};
            if (!caught &&
                waitid(P_PID, static_cast<id_t>(importing.pid()), &ended,
                       WEXITED | WNOHANG | WNOWAIT) == 0 &&
                ended.si_pid != 0)
                break;  // ended before it was seen half written
        }
        const int status = importing.wait();
        if (!caught)
            continue;
        EXPECT_EQ(status, -SIGTERM);
        EXPECT_TRUE(safety::temporary_files(ws.path()).empty());
        EXPECT_TRUE(ws.bytes("TEXBSI.001") == texture);
        return;
    }
    GTEST_SKIP() << "NOTICE: the new file was never seen half written in five runs";
}

// --- Ctrl-Z at a prompt ---------------------------------------------------------------------

// The program on a pseudo-terminal as a job-control shell runs it: in a
// process group of its own, the terminal's foreground group, below a
// session leader that waits for it. (A session leader itself, as
// run::terminal starts it, would be an orphaned group that Ctrl-Z cannot
// stop.)
class job {
public:
    explicit job(const run::workspace& ws, const std::vector<std::string>& args) {
        int pid_pipe[2], go_pipe[2];
        if (pipe(pid_pipe) != 0 || pipe(go_pipe) != 0)
            return;
        run::command_line command = run::program_command(args);
        const std::string dir = ws.path();
        winsize size{};
        size.ws_row = 25;
        size.ws_col = 80;
        leader_ = forkpty(&master_, nullptr, nullptr, &size);
        if (leader_ == 0) {
            close(pid_pipe[0]);
            close(go_pipe[1]);
            // Held until the test has read the terminal's first settings.
            char go = 0;
            while (read(go_pipe[0], &go, 1) < 0 && errno == EINTR) {
            }
            signal(SIGTTOU, SIG_IGN);  // the leader hands the terminal on
            const pid_t program = fork();
            if (program == 0) {
                setpgid(0, 0);
                signal(SIGTTOU, SIG_DFL);
                if (chdir(dir.c_str()) != 0)
                    _exit(126);
                execve(command.argv[0], command.argv.data(), command.envp.data());
                _exit(127);
            }
            setpgid(program, program);
            tcsetpgrp(STDIN_FILENO, program);
            [[maybe_unused]] const ssize_t sent = write(pid_pipe[1], &program, sizeof program);
            int status = 0;
            while (waitpid(program, &status, 0) < 0 && errno == EINTR) {
            }
            _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
        }
        close(pid_pipe[1]);
        close(go_pipe[0]);
        tcgetattr(master_, &initial_);
        [[maybe_unused]] const ssize_t went = write(go_pipe[1], "g", 1);
        close(go_pipe[1]);
        if (read(pid_pipe[0], &program_, sizeof program_) != sizeof program_)
            program_ = -1;
        close(pid_pipe[0]);
    }
    ~job() {
        if (program_ > 0)
            kill(program_, SIGKILL);
        if (leader_ > 0) {
            kill(leader_, SIGKILL);
            waitpid(leader_, nullptr, 0);
        }
        if (master_ >= 0)
            close(master_);
    }
    job(const job&) = delete;
    job& operator=(const job&) = delete;

    pid_t program() const { return program_; }
    const termios& initial() const { return initial_; }
    termios now() const {
        termios t{};
        tcgetattr(master_, &t);
        return t;
    }
    // Waits until the terminal's line discipline is raw (wanted) or not.
    bool wait_until_raw(bool wanted) const {
        const auto deadline = safety::clock_type::now() + std::chrono::seconds(10);
        while (((now().c_lflag & (ICANON | ECHO)) == 0) != wanted) {
            if (safety::clock_type::now() >= deadline)
                return false;
            drain();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }
    void send(const std::string& bytes) const {
        [[maybe_unused]] const ssize_t sent = write(master_, bytes.data(), bytes.size());
    }
    // The leader's status: the program's exit status.
    int finish() {
        const auto deadline = safety::clock_type::now() + std::chrono::seconds(10);
        int status = -1;
        while (safety::clock_type::now() < deadline) {
            drain();
            if (waitpid(leader_, &status, WNOHANG) == leader_) {
                leader_ = -1;
                program_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return -1000;
    }
    std::string output() const { return shown_; }

private:
    // Reads what the program showed, so that it never waits to write.
    void drain() const {
        pollfd fd{master_, POLLIN, 0};
        char buffer[4096];
        while (poll(&fd, 1, 0) > 0) {
            const ssize_t n = read(master_, buffer, sizeof buffer);
            if (n <= 0)
                return;
            for (ssize_t i = 0; i < n; ++i)
                if (buffer[i] != '\r')
                    shown_.push_back(buffer[i]);
        }
    }

    int master_ = -1;
    pid_t leader_ = -1;
    pid_t program_ = -1;
    termios initial_{};
    mutable std::string shown_;
};

// Stopped at the prompt, the run gives the terminal its settings back; once
// continued (by a shell that may have set its own meanwhile), the prompt
// takes keys without echo and Enter again.
TEST(ExportOnATerminal, CtrlZAtThePromptGivesTheTerminalBackAndTakesItAgain) {
    run::workspace ws;
    ws.put("TEXBSI.001", fixture::texture_file({fixture::simple_image("WALL", 6, 5, false)}));
    ws.put("redguard.col", fixture::palette());
    ws.put_text("ostrel.ini", "");
    job term(ws, {"TEXBSI.001"});
    ASSERT_GT(term.program(), 0);
    ASSERT_TRUE(term.wait_until_raw(true)) << term.output();

    for (int round = 0; round < 2; ++round) {  // twice: the handler must come back
        SCOPED_TRACE(round);
        kill(term.program(), SIGTSTP);
        ASSERT_TRUE(term.wait_until_raw(false)) << "the terminal stayed raw while stopped";
        EXPECT_TRUE(run::same_settings(term.now(), term.initial()));
        // What a shell does at "fg": the user's settings, then continue.
        kill(term.program(), SIGCONT);
        ASSERT_TRUE(term.wait_until_raw(true)) << "raw mode was not taken again";
    }
    term.send("y");
    EXPECT_EQ(term.finish(), 1);
    EXPECT_EQ(term.output(), offer("wall", "6x5", "wall.pcx"));
    EXPECT_EQ(ws.bytes("wall.pcx"),
              fixture::pcx_file(6, 5, fixture::pixels(6, 5), fixture::palette()));
    EXPECT_TRUE(run::same_settings(term.now(), term.initial()));
}

// --- A non-blocking standard input -----------------------------------------------------------

// Another program may leave the descriptor non-blocking; "nothing yet" is
// then no end of the input, and the answer that comes later still counts.
TEST(Interruption, NonBlockingInputIsWaitedFor) {
    run::workspace ws;
    ws.put("TEXBSI.001", fixture::texture_file({fixture::simple_image("WALL", 6, 5, false)}));
    ws.put("redguard.col", fixture::palette());
    ws.put_text("ostrel.ini", "");
    launch l;
    l.dir = ws.path();
    l.args = {"TEXBSI.001"};
    l.input_pipe = true;
    l.nonblocking_input = true;
    process exporting(l);
    ASSERT_TRUE(
        safety::wait_for_text(ws.path("ostrel.log"), "Attempting to open file 'TEXBSI.001'"));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(write(exporting.input_fd(), "y", 1), 1) << "the program did not wait for its answer";
    exporting.close_input();
    EXPECT_EQ(exporting.wait(), 1);
    EXPECT_EQ(exporting.out(), offer("wall", "6x5", "wall.pcx"));
    EXPECT_TRUE(ws.exists("wall.pcx"));
}

}  // namespace
