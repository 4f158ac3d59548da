// One key from standard input without echo and without Enter (POSIX).
//
// On a terminal the line discipline is put into raw mode for the one read
// and restored straight after it. The settings are also given back at exit
// and by the signal handlers of process.cpp (an ending signal, Ctrl-Z), so
// no way out leaves the user's terminal raw, and a prompt continued after
// Ctrl-Z is raw again.
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/PLATFORM.h"
#include "platform/posix/POSIXDETAIL.h"

namespace platform {
namespace {

// How long the bytes that follow an ESC in an arrow or function key may
// take to arrive. A terminal sends them together; a person cannot type a
// second key this fast.
constexpr int sequence_gap_ms = 40;

// Bytes of a control sequence beyond which the rest is read as keys again.
constexpr int sequence_limit = 32;

bool exit_hook_set = false;

void restore_at_exit() {
    posix::leave_raw();
}

// Waits until standard input has something to read (or has ended), for a
// descriptor that some other program left non-blocking: its "no data yet"
// is no end of input. false when even waiting fails.
bool wait_for_input() {
    pollfd input{STDIN_FILENO, POLLIN, 0};
    for (;;) {
        if (poll(&input, 1, -1) >= 0)
            return true;
        if (errno != EINTR)
            return false;
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
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && wait_for_input())
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
    // Where the program did not install them at its start (a harness that
    // calls this directly), the handlers come now.
    posix::install_signal_handlers();

    termios raw = settings;
    raw.c_lflag &= ~(ICANON | ECHO);  // key by key, unseen; ISIG stays so Ctrl-C still stops
    raw.c_cc[VMIN] = 1;               // a read waits for one byte...
    raw.c_cc[VTIME] = 0;              // ...for as long as it takes
    posix::enter_raw(settings, raw);

    const int key = read_terminal_key();

    posix::leave_raw();
    return key;
}

}  // namespace platform
