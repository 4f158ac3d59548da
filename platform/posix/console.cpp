// One key from standard input without echo and without Enter (POSIX).
//
// On a terminal the line discipline is put into raw mode for the one read
// and restored straight after it. The saved settings are also restored at
// exit and by the handlers of the signals that end a process from the
// keyboard or the session, so no way out leaves the user's terminal raw.
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/PLATFORM.h"

namespace platform {
namespace {

// How long the bytes that follow an ESC in an arrow or function key may
// take to arrive. A terminal sends them together; a person cannot type a
// second key this fast.
constexpr int sequence_gap_ms = 40;

// Bytes of a control sequence beyond which the rest is read as keys again.
constexpr int sequence_limit = 32;

const int ending_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr int ending_signal_count = sizeof ending_signals / sizeof ending_signals[0];

termios saved_settings;
volatile sig_atomic_t terminal_is_raw = 0;
struct sigaction previous_actions[ending_signal_count];
bool exit_hook_set = false;

void restore_terminal() {
    if (terminal_is_raw != 0) {
        // tcsetattr is async-signal-safe, so the signal handler may call this.
        tcsetattr(STDIN_FILENO, TCSANOW, &saved_settings);
        terminal_is_raw = 0;
    }
}

void restore_at_exit() {
    restore_terminal();
}

// Restores the terminal, then lets the signal do what it would have done:
// the default action runs once this handler returns and the signal is
// unblocked.
void restore_and_reraise(int number) {
    restore_terminal();
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    sigaction(number, &default_action, nullptr);
    raise(number);
}

void install_handlers() {
    struct sigaction action {};
    action.sa_handler = restore_and_reraise;
    sigemptyset(&action.sa_mask);
    for (int i = 0; i < ending_signal_count; ++i)
        sigaddset(&action.sa_mask, ending_signals[i]);
    for (int i = 0; i < ending_signal_count; ++i) {
        sigaction(ending_signals[i], &action, &previous_actions[i]);
    }
}

void remove_handlers() {
    for (int i = 0; i < ending_signal_count; ++i) {
        sigaction(ending_signals[i], &previous_actions[i], nullptr);
    }
}

// One byte; -1 at the end of input or on a read error.
int read_byte() {
    unsigned char byte = 0;
    for (;;) {
        const ssize_t count = read(STDIN_FILENO, &byte, 1);
        if (count == 1)
            return byte;
        if (count < 0 && errno == EINTR)
            continue;
        return -1;
    }
}

// One byte if one arrives within `timeout_ms`, else -1.
int read_byte_within(int timeout_ms) {
    pollfd input{STDIN_FILENO, POLLIN, 0};
    int ready;
    do {
        ready = poll(&input, 1, timeout_ms);
    } while (ready < 0 && errno == EINTR);
    if (ready <= 0)
        return -1;
    return read_byte();
}

// The rest of an escape sequence: CSI ("ESC [", parameters, one final byte
// from '@' to '~'), SS3 ("ESC O" and one byte), or ESC with one key (Alt).
void skip_sequence(int introducer) {
    if (introducer == '[') {
        for (int i = 0; i < sequence_limit; ++i) {
            const int byte = read_byte_within(sequence_gap_ms);
            if (byte < 0 || (byte >= 0x40 && byte <= 0x7E))
                return;
        }
    } else if (introducer == 'O') {
        read_byte_within(sequence_gap_ms);
    }
}

int read_terminal_key() {
    for (;;) {
        const int key = read_byte();
        if (key < 0)
            return key_escape;
        if (key != key_escape)
            return key;
        const int next = read_byte_within(sequence_gap_ms);
        if (next < 0)
            return key_escape;
        skip_sequence(next);
    }
}

}  // namespace

int read_key() {
    termios settings;
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &settings) != 0) {
        // Piped or redirected input: every byte is a key, and the end of the
        // input answers Esc so that the run cannot wait for ever.
        const int key = read_byte();
        return key < 0 ? key_escape : key;
    }

    if (!exit_hook_set) {
        exit_hook_set = true;
        std::atexit(restore_at_exit);
    }
    saved_settings = settings;
    install_handlers();

    termios raw = settings;
    raw.c_lflag &= ~(ICANON | ECHO);  // key by key, unseen; ISIG stays so Ctrl-C still stops
    raw.c_cc[VMIN] = 1;               // a read waits for one byte...
    raw.c_cc[VTIME] = 0;              // ...for as long as it takes
    // Marked before the change, so that a signal in between still restores.
    terminal_is_raw = 1;
    // TCSANOW keeps keys typed ahead of the prompt.
    if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0)
        terminal_is_raw = 0;

    const int key = read_terminal_key();

    restore_terminal();
    remove_handlers();
    return key;
}

}  // namespace platform
