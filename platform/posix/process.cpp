// The process on POSIX systems: standard descriptors, the signals that end
// or stop a run, and the few files that must be opened with more care than
// fopen takes.
//
// Signal handlers only call async-signal-safe functions (unlink, tcsetattr,
// sigaction, sigprocmask, raise) and only read plain arrays and
// sig_atomic_t flags that the program sets before it relies on them.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/PLATFORM.h"
#include "platform/posix/POSIXDETAIL.h"

namespace platform {

namespace {

const int ending_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// One replacement is in progress at a time in the program; a few slots let
// tests and future callers hold more without losing the clean-up.
constexpr int removal_slots = 4;
constexpr size_t removal_path_size = 4096;
char removal_paths[removal_slots][removal_path_size];
volatile sig_atomic_t removal_armed[removal_slots];

termios user_settings;
termios raw_settings;
volatile sig_atomic_t raw_wanted = 0;   // a key read is in progress
volatile sig_atomic_t raw_applied = 0;  // the terminal holds raw_settings

bool handlers_installed = false;

void remove_armed_files() {
    for (int i = 0; i < removal_slots; ++i) {
        if (removal_armed[i] != 0) {
            unlink(removal_paths[i]);
            removal_armed[i] = 0;
        }
    }
}

void give_terminal_back() {
    if (raw_applied != 0) {
        tcsetattr(STDIN_FILENO, TCSANOW, &user_settings);
        raw_applied = 0;
    }
}

void take_raw_again() {
    if (raw_wanted != 0) {
        // Whoever ran while we were stopped (the shell) may have set its
        // own settings: raw mode is set again whatever is there now.
        raw_applied = tcsetattr(STDIN_FILENO, TCSANOW, &raw_settings) == 0 ? 1 : 0;
    }
}

void set_action(int number, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    for (const int ending : ending_signals)
        sigaddset(&action.sa_mask, ending);
    sigaddset(&action.sa_mask, SIGTSTP);
    // Reads and writes that a stop and continue interrupt go on: stdio
    // would take an interrupted write for a failed one.
    action.sa_flags = SA_RESTART;
    sigaction(number, &action, nullptr);
}

// Undoes what the run cannot leave behind, then lets the signal do what it
// would have done: the default action runs once this handler returns and
// the signal is unblocked.
void on_ending_signal(int number) {
    const int saved_errno = errno;
    remove_armed_files();
    give_terminal_back();
    set_action(number, SIG_DFL);
    raise(number);
    errno = saved_errno;
}

// Ctrl-Z: the terminal gets the user's settings for the time the run is
// stopped (the shell may not put them back itself), then the stop is taken
// as it would have been without this handler.
void on_stop(int) {
    const int saved_errno = errno;
    give_terminal_back();
    set_action(SIGTSTP, SIG_DFL);
    raise(SIGTSTP);  // pending: a handled signal is blocked during its handler
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTSTP);
    sigprocmask(SIG_UNBLOCK, &stop, nullptr);  // stopped here until continued
    set_action(SIGTSTP, on_stop);
    take_raw_again();
    errno = saved_errno;
}

// Also after a stop that could not be handled (SIGSTOP).
void on_continue(int) {
    const int saved_errno = errno;
    take_raw_again();
    errno = saved_errno;
}

bool is_ignored(int number) {
    struct sigaction current {};
    return sigaction(number, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
}

// A closed descriptor 0, 1 or 2 gets the null device. Opened in order, so
// open() hands out the lowest free number, which is the one that is closed.
void open_closed_standard_descriptors() {
    for (int descriptor = 0; descriptor <= 2; ++descriptor) {
        if (fcntl(descriptor, F_GETFD) != -1 || errno != EBADF)
            continue;
        const int opened = open("/dev/null", descriptor == 0 ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != descriptor) {
            dup2(opened, descriptor);
            close(opened);
        }
    }
}

// Clears O_NONBLOCK again once the open is done, so reads and writes wait as
// a stream expects.
bool make_blocking(int descriptor) {
    const int flags = fcntl(descriptor, F_GETFL);
    return flags != -1 && fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK) != -1;
}

FILE* stream_on(int descriptor, const char* mode) {
    FILE* stream = fdopen(descriptor, mode);
    if (stream == nullptr) {
        const int saved = errno;
        close(descriptor);
        errno = saved;
    }
    return stream;
}

// `descriptor` when it is a regular file; otherwise closed, errno EINVAL.
// A failed open (-1) passes through with its own errno.
int regular_only(int descriptor) {
    if (descriptor < 0)
        return -1;  // errno says why it did not open
    struct stat info {};
    if (fstat(descriptor, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(descriptor);
        errno = EINVAL;
        return -1;
    }
    return descriptor;
}

}  // namespace

namespace posix {

void install_signal_handlers() {
    if (handlers_installed)
        return;
    handlers_installed = true;
    for (const int number : ending_signals) {
        if (!is_ignored(number))
            set_action(number, on_ending_signal);
    }
    if (!is_ignored(SIGTSTP))
        set_action(SIGTSTP, on_stop);
    set_action(SIGCONT, on_continue);
}

int arm_removal(const char* path) {
    const size_t length = std::strlen(path);
    if (length >= removal_path_size)
        return -1;
    // A fatal error ends the run through exit, which runs no destructor of
    // the writer that would remove its unfinished file: exit removes it.
    static const bool removed_at_exit = std::atexit(remove_armed_files) == 0;
    (void)removed_at_exit;
    for (int i = 0; i < removal_slots; ++i) {
        if (removal_armed[i] == 0) {
            std::memcpy(removal_paths[i], path, length + 1);
            // The path is complete before a handler may see the slot armed.
            std::atomic_signal_fence(std::memory_order_release);
            removal_armed[i] = 1;  // only now may a handler use the path
            return i;
        }
    }
    return -1;
}

void disarm_removal(int slot) {
    if (slot >= 0 && slot < removal_slots)
        removal_armed[slot] = 0;
}

void enter_raw(const termios& user, const termios& raw) {
    raw_wanted = 0;
    user_settings = user;
    raw_settings = raw;
    std::atomic_signal_fence(std::memory_order_release);
    // Marked before the change, so that a signal in between still restores.
    raw_applied = 1;
    raw_wanted = 1;
    // TCSANOW keeps keys typed ahead of the prompt.
    if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0)
        raw_applied = 0;
}

void leave_raw() {
    raw_wanted = 0;
    give_terminal_back();
}

}  // namespace posix

void start_process() {
    open_closed_standard_descriptors();
    // Beyond a file-size limit a write then fails with EFBIG, which every
    // writer reports, instead of the process being killed mid-write.
    signal(SIGXFSZ, SIG_IGN);
    posix::install_signal_handlers();
}

void sleep_ms(int milliseconds) {
    if (milliseconds <= 0)
        return;
    timespec left{milliseconds / 1000, static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

FILE* open_regular_file(const char* name, const char* mode) {
    if (name == nullptr || mode == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    // O_NONBLOCK: a FIFO without a writer would hold the open for ever.
    const int descriptor = regular_only(
        open(posix::system_path(name).c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (descriptor < 0)
        return nullptr;
    if (!make_blocking(descriptor)) {
        close(descriptor);
        return nullptr;
    }
    (void)mode;  // reading; POSIX streams have no text mode
    return stream_on(descriptor, "r");
}

FILE* open_log_file(const char* name) {
    if (name == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    // Not O_TRUNC: the file is emptied only once it is known to be a
    // regular file of its own name.
    const int descriptor = regular_only(
        open(posix::system_path(name).c_str(),
             O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666));
    if (descriptor < 0)
        return nullptr;
    if (ftruncate(descriptor, 0) != 0 || !make_blocking(descriptor)) {
        const int saved = errno;
        close(descriptor);
        errno = saved;
        return nullptr;
    }
    return stream_on(descriptor, "w");
}

FILE* open_anonymous_file() {
    return std::tmpfile();
}

}  // namespace platform
