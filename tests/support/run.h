// Runs the built ostrel binary for the end-to-end tests (POSIX only): with
// standard input from a pipe, or on a pseudo-terminal that the test types
// into. Every run has a time limit, so a child that hangs fails its test
// instead of the whole suite.
#pragma once

#include <termios.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "support/fixture.h"

namespace run {

struct options {
    std::string dir;                // working directory of the child
    std::vector<std::string> args;  // arguments behind the program name
    // Variables set for the child. OSTREL_PATH is always removed from the
    // inherited environment first, so a developer's setting cannot leak in.
    std::vector<std::pair<std::string, std::string>> env;
    std::string input;       // bytes on standard input (pipe runs); then end of input
    int timeout_ms = 30000;  // whole run
    // When not 0: the largest file the program may write (RLIMIT_FSIZE), so
    // that a test can make a write fail part-way.
    long file_size_limit = 0;
};

struct result {
    bool exited = false;  // ended through exit; `status` holds its status
    int status = -1;
    int signal = 0;          // the signal that ended it, or 0
    bool timed_out = false;  // killed by the harness
    std::string out;  // standard output (terminal runs: all the terminal showed, CRs removed)
    std::string err;  // standard error (pipe runs only)
};

// The path of the built program under test.
std::string binary();

// Two terminal settings are the same: modes and control characters (so a
// run that leaves VMIN or VTIME changed is caught too).
bool same_settings(const termios& a, const termios& b);

// The program's command line and environment for execve, built before fork
// (a child then calls only async-signal-safe functions): the program and
// `args`; the test's environment without OSTREL_PATH, with `env` over it.
struct command_line {
    std::vector<std::string> strings;
    std::vector<char*> argv;
    std::vector<std::string> env_strings;
    std::vector<char*> envp;
};
command_line program_command(const std::vector<std::string>& args,
                             const std::vector<std::pair<std::string, std::string>>& env = {});

// Standard input from a pipe holding `o.input`, output captured.
result piped(const options& o);

// A run on a pseudo-terminal. The terminal's settings are read before the
// program starts, so a test can compare them with those after the run.
class terminal {
public:
    explicit terminal(const options& o);
    ~terminal();
    terminal(const terminal&) = delete;
    terminal& operator=(const terminal&) = delete;

    // Waits until `text` appears in the output behind the last match, and
    // moves behind it. false when the time runs out or the program ends first.
    bool expect(const std::string& text, int timeout_ms = 10000);
    void send(const std::string& bytes);
    // Waits until the program reads keys: echo and line editing are off.
    // A key sent before then would still be echoed by the terminal.
    bool wait_for_key_read(int timeout_ms = 10000);
    // The terminal's current settings.
    bool settings(termios* out) const;
    const termios& initial_settings() const { return initial_; }
    // Reads the rest of the output and waits for the end of the program
    // (killing it when the time runs out).
    result finish(int timeout_ms = 10000);
    // Everything shown so far, CRs removed.
    std::string output() const;

private:
    void pump(int timeout_ms);  // reads what is there (waits up to timeout_ms)

    int master_ = -1;
    pid_t pid_ = -1;
    bool eof_ = false;
    termios initial_{};
    std::string raw_;
    size_t cursor_ = 0;
};

// The prompt of the export for one image, as a pipe run shows it: the
// image's line ("\nImage NAME (SIZE) -> FILE" and `note`), the prompt, and
// the line break the answer leaves.
const std::string export_prompt = "        Save Image as PCX (Y/N)?";
std::string offer(const std::string& name, const std::string& size, const std::string& file,
                  const std::string& note = "");

// "\nOstrel 0.1a - 2 Dec 1998, <author credit>\n": the first lines of the
// help screen and of a fatal report.
std::string banner();

// The whole report of a fatal exit: the banner, the "Error Message" line
// when `error_message` is not empty, and the message.
std::string fatal_report(const std::string& error_message, const std::string& message);

// A temporary working directory for one run of the program.
class workspace {
public:
    std::string path(const std::string& name = "") const;
    void put(const std::string& name, const fixture::bytes& data) const;  // makes directories
    void put_text(const std::string& name, const std::string& text) const;
    fixture::bytes bytes(const std::string& name) const;
    std::string text(const std::string& name) const;
    bool exists(const std::string& name) const;
    // Every file below the directory, as relative paths, sorted.
    std::vector<std::string> files() const;
    // The log of the last run, one entry per line, time stamps removed.
    std::vector<std::string> log_lines() const;

    options with(std::vector<std::string> args, std::string input = "",
                 std::vector<std::pair<std::string, std::string>> env = {}) const;
    result run(std::vector<std::string> args, std::string input = "",
               std::vector<std::pair<std::string, std::string>> env = {}) const;

private:
    fixture::temp_dir dir_;
};

}  // namespace run
