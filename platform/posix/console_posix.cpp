// Console input and output on POSIX systems.
//
// All three reads take bytes from one buffer over file descriptor 0, so a
// key read never overtakes a line typed ahead. On a terminal, single keys are
// read in non-canonical mode without the terminal's echo (the key is echoed
// here instead), and lines and characters in the terminal's normal mode. The
// mode the terminal was found in is restored when a line is read, at exit and
// on the signals that end or stop the program. When standard input is not a
// terminal the same reads work on the bytes as they come. Every wait for
// input also watches the wake pipe, so a request to end interrupts it.
#include "platform/platform.h"
#include "platform/console_buffer.h"
#include "platform/key_sequences.h"
#include "platform/line_assembly.h"
#include "platform/posix/wake_posix.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <termios.h>
#include <unistd.h>

namespace {

struct ConsoleState {
    ConsoleBuffer in;            // bytes read from fd 0 and not yet taken
    bool checked;                // is_terminal and original have been read
    bool is_terminal;            // fd 0 is a terminal whose mode we may change
    bool raw;                    // the terminal is in single-key mode now
    bool handlers_installed;     // the exit hook and the Ctrl-Z handler are in place
    termios original;            // the mode the terminal was found in
    termios single_key;          // the mode for single keys
} console = {{{}, 0, 0, false, -1}, false, false, false, false, {}, {}};

// How long the rest of an escape sequence may take to arrive after its ESC.
constexpr int kSequenceWaitMs = 25;

}  // namespace

// Async-signal-safe: only tcsetattr.
void posix_restore_terminal()
{
    if (console.is_terminal && console.raw) {
        tcsetattr(STDIN_FILENO, TCSANOW, &console.original);
        console.raw = false;
    }
}

static void restore_terminal() { posix_restore_terminal(); }

// Ctrl-Z: give the shell its terminal back as it was; take single-key mode
// again when the program is continued.
static void stop_signal(int)
{
    bool was_raw = console.raw;
    restore_terminal();
    std::signal(SIGTSTP, SIG_DFL);
    raise(SIGTSTP);
    // Continued.
    std::signal(SIGTSTP, stop_signal);
    if (was_raw && tcsetattr(STDIN_FILENO, TCSANOW, &console.single_key) == 0)
        console.raw = true;
}

static void install_handlers()
{
    if (console.handlers_installed)
        return;
    console.handlers_installed = true;
    std::atexit(restore_terminal);
    std::signal(SIGTSTP, stop_signal);
}

static void check_terminal()
{
    if (console.checked)
        return;
    console.checked = true;
    console.is_terminal = isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &console.original) == 0;
    if (!console.is_terminal)
        return;
    console.single_key = console.original;
    console.single_key.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    console.single_key.c_iflag &= ~static_cast<tcflag_t>(ICRNL | INLCR | IGNCR);
    console.single_key.c_cc[VMIN] = 1;
    console.single_key.c_cc[VTIME] = 0;
}

static void set_single_key_mode(bool on)
{
    check_terminal();
    if (!console.is_terminal || console.raw == on)
        return;
    if (on) {
        install_handlers();
        if (tcsetattr(STDIN_FILENO, TCSANOW, &console.single_key) == 0)
            console.raw = true;
    } else {
        restore_terminal();
    }
}

// The next bytes from fd 0, once none is pending.
static bool refill()
{
    for (;;) {
        if (posix_wait_readable(STDIN_FILENO, -1) < 0)
            return false;
        ssize_t n = read(STDIN_FILENO, console.in.bytes, sizeof console.in.bytes);
        if (n > 0) {
            console.in.start = 0;
            console.in.end = static_cast<int>(n);
            return true;
        }
        if (n < 0 && errno == EINTR)
            continue;
        console.in.ended = true;
        return false;
    }
}

static bool fill() { return console_fill(console.in, refill); }

static int take_byte() { return console_take_byte(console.in, refill); }

int platform_console_read_line(char* buffer, int size)
{
    set_single_key_mode(false);
    if (!fill())
        return -1;
    return assemble_line(take_byte, buffer, size);
}

// After an ESC typed on a terminal: the key it starts, when the bytes that
// follow (arriving within kSequenceWaitMs) form a key's escape sequence. The
// sequence is taken from the buffer and echoed as the terminal would.
static bool take_key_sequence(ConsoleKey* key)
{
    ConsoleBuffer& in = console.in;
    if (in.start == in.end && !in.ended && posix_wait_readable(STDIN_FILENO, kSequenceWaitMs) > 0)
        fill();
    unsigned char sequence[16] = {27};
    int available = in.end - in.start;
    if (available > 15)
        available = 15;
    std::memcpy(sequence + 1, in.bytes + in.start, static_cast<size_t>(available));
    int length = decode_key_sequence(sequence, available + 1, key);
    if (length == 0)
        return false;
    in.start += length - 1;
    for (int i = 0; i < length; ++i)
        console_echo_key(sequence[i], platform_console_write);
    return true;
}

int platform_console_read_key()
{
    if (console.in.pending_scan >= 0)  // the second keystroke of a two-byte key: not echoed
        return console_take_pending_scan(console.in);
    set_single_key_mode(true);
    int c = take_byte();
    if (c < 0)
        return -1;
    ConsoleKey key;
    if (c == 27 && console.is_terminal && take_key_sequence(&key)) {
        console.in.pending_scan = key.scan;
        return key.lead;
    }
    console_echo_key(c, platform_console_write);
    return c;
}

int platform_console_read_key_or_midi()
{
    if (console.in.pending_scan >= 0)
        return platform_console_read_key();
    set_single_key_mode(true);
    for (;;) {
        // Empty the pipe first: what is queued after this look wakes the next wait.
        posix_midi_wake_drain();
        if (posix_midi_in_pending())
            return PLATFORM_MIDI_IN_PENDING;
        if (console.in.start < console.in.end || console.in.ended || platform_end_request() != 0)
            break;
        int ready = posix_wait_either(STDIN_FILENO, posix_midi_wake_fd(), -1);
        if (ready != 2)
            break;  // a key (or the end of input, or a request to end): the key read tells which
    }
    return platform_console_read_key();
}

int platform_console_read_char()
{
    set_single_key_mode(false);
    return take_byte();
}

static void write_all(int fd, const char* text, size_t length)
{
    while (length > 0) {
        ssize_t n = write(fd, text, length);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return;  // nowhere to write to; the dialogue goes on regardless
        }
        text += n;
        length -= static_cast<size_t>(n);
    }
}

void platform_console_write(const char* text, size_t length) { write_all(STDOUT_FILENO, text, length); }

void platform_console_write_error(const char* text, size_t length) { write_all(STDERR_FILENO, text, length); }

bool platform_console_is_terminal() { return isatty(STDOUT_FILENO) != 0; }
