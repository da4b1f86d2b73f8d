// Console input and output on Windows.
//
// All three reads take bytes from one buffer over standard input, so a key
// read never overtakes a line typed ahead. On a console, lines (and the wait
// for Return) are read in the console's own line mode, with its editing and
// echo; single keys in a mode without line input and echo (the key is echoed
// here instead), where arrow, editing and function keys arrive as a PC
// console gives them: a lead byte (224, or 0) and a scan code. The mode the
// console was found in is restored when a line is read, at exit and on every
// request to end. When standard input is not a console (a pipe or a file),
// the same reads work on the bytes as they come, read ahead by a thread of
// its own, because a read from a pipe cannot also wait for the wake event.
// Every wait for input also watches the wake event, so a request to end
// interrupts it, and the key loops' wait also watches the MIDI input event.
// Output (and the error stream) goes out with Windows line ends.
#include "platform/console_buffer.h"
#include "platform/line_assembly.h"
#include "platform/platform.h"
#include "platform/windows/wake_windows.h"

#include <cstdlib>
#include <cstring>

namespace {

struct ConsoleState {
    ConsoleBuffer in;            // bytes read from standard input and not yet taken
    bool checked;                // input, is_console and original_mode have been read
    HANDLE input;                // standard input
    bool is_console;             // standard input is a console whose mode we may change
    DWORD original_mode;         // the console's input mode as found
    volatile LONG raw;           // 1 while the console is in single-key mode (read by the handler thread)
    int repeat_left;             // strokes still owed by the last key event's repeat count, >= 0
    int repeat_bytes;            // that key: 1 or 2 bytes
    int repeat_lead;             // that key's byte, or its lead byte
    int repeat_scan;             // that key's scan code (two-byte keys)
    // Standard input that is not a console, read ahead by its own thread:
    HANDLE reader;               // the read-ahead thread; nullptr until first needed
    HANDLE chunk_ready;          // manual-reset event: chunk holds the next bytes (or the end)
    HANDLE chunk_taken;          // auto-reset event: the main thread has taken chunk
    unsigned char chunk[4096];   // bytes the thread read; written only while chunk_ready is clear
    DWORD chunk_length;          // bytes in chunk, 0 = input has ended
} console = {{{}, 0, 0, false, -1}, false, nullptr, false, 0, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, {}, 0};

// How long a line read that Ctrl-C or Ctrl-Break cut short waits for the
// control handler (which runs on a thread the system starts) to record the
// request.
constexpr DWORD kHandlerWaitMs = 500;

// Ctrl-Z typed at the start of a line: the end of input, as Windows programs take it.
constexpr unsigned char kEndOfInput = 26;

void restore_at_exit() { windows_restore_console(); }

void check_console()
{
    if (console.checked)
        return;
    console.checked = true;
    console.input = GetStdHandle(STD_INPUT_HANDLE);
    console.is_console = GetConsoleMode(console.input, &console.original_mode) != 0;
    if (console.is_console)
        std::atexit(restore_at_exit);
}

// ENABLE_VIRTUAL_TERMINAL_INPUT (Windows 10): keys arrive as escape sequences.
constexpr DWORD kVirtualTerminalInput = 0x0200;

// Lines: the console's line editing and echo, Ctrl-C as a request to end.
// Single keys: no line input, no echo, Ctrl-C still a request to end, and
// arrow and function keys as key events rather than escape sequences.
void set_single_key_mode(bool on)
{
    check_console();
    if (!console.is_console)
        return;
    DWORD line_modes = ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT;
    DWORD mode = on ? (console.original_mode & ~(line_modes | kVirtualTerminalInput)) | ENABLE_PROCESSED_INPUT
                    : console.original_mode | line_modes | ENABLE_PROCESSED_INPUT;
    if (SetConsoleMode(console.input, mode))
        console.raw = on ? 1 : 0;
}

DWORD WINAPI read_ahead(void*)
{
    for (;;) {
        DWORD n = 0;
        if (!ReadFile(console.input, console.chunk, sizeof console.chunk, &n, nullptr))
            n = 0;  // a closed pipe, or no standard input at all: the end
        console.chunk_length = n;
        SetEvent(console.chunk_ready);
        if (n == 0)
            return 0;
        WaitForSingleObject(console.chunk_taken, INFINITE);
    }
}

// Waits for the given object or the wake event; false when a request to end
// is pending (or the wait failed).
bool wait_for(HANDLE object)
{
    HANDLE waits[2] = {object, windows_wake_event()};
    DWORD count = waits[1] != nullptr ? 2 : 1;
    DWORD result = WaitForMultipleObjects(count, waits, FALSE, INFINITE);
    return platform_end_request() == 0 && result == WAIT_OBJECT_0;
}

// The next bytes from standard input that is not a console.
// The read-ahead thread, started on first use; false when it cannot be.
bool start_reader()
{
    if (console.reader == nullptr) {
        console.chunk_ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        console.chunk_taken = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        console.reader = CreateThread(nullptr, 0, read_ahead, nullptr, 0, nullptr);
        if (console.reader == nullptr) {
            console.in.ended = true;
            return false;
        }
    }
    return true;
}

bool fill_from_stream()
{
    if (!start_reader())
        return false;
    if (!wait_for(console.chunk_ready))
        return false;
    ResetEvent(console.chunk_ready);
    if (console.chunk_length == 0) {
        console.in.ended = true;
        return false;
    }
    std::memcpy(console.in.bytes, console.chunk, console.chunk_length);
    console.in.start = 0;
    console.in.end = static_cast<int>(console.chunk_length);
    SetEvent(console.chunk_taken);
    return true;
}

// The next line typed on the console.
bool fill_from_console()
{
    for (;;) {
        DWORD n = 0;
        BOOL read = ReadConsoleA(console.input, console.in.bytes, sizeof console.in.bytes, &n, nullptr);
        DWORD error = GetLastError();
        if (platform_end_request() != 0)
            return false;
        if (read && n > 0) {
            if (console.in.bytes[0] == kEndOfInput)
                break;
            // The line ends in LF alone, as text-mode input has it, so that
            // the wait for Return takes the whole of an empty line.
            if (n >= 2 && console.in.bytes[n - 2] == '\r' && console.in.bytes[n - 1] == '\n') {
                console.in.bytes[n - 2] = '\n';
                --n;
            }
            console.in.start = 0;
            console.in.end = static_cast<int>(n);
            return true;
        }
        if (error != ERROR_OPERATION_ABORTED)
            break;
        // Ctrl-C or Ctrl-Break ended the read: wait for its handler, then look again.
        HANDLE wake = windows_wake_event();
        if (wake != nullptr)
            WaitForSingleObject(wake, kHandlerWaitMs);
    }
    console.in.ended = true;
    return false;
}

// The next bytes, once none is pending.
bool refill()
{
    check_console();
    return console.is_console ? fill_from_console() : fill_from_stream();
}

bool fill() { return console_fill(console.in, refill); }

int take_byte() { return console_take_byte(console.in, refill); }

// The next keystroke from the console in single-key mode: 1 or 2 bytes as
// windows_key_bytes gives them, 0 when input has ended or a request to end
// is pending.
int next_console_key(int* lead, int* scan)
{
    while (console.repeat_left == 0) {
        if (!wait_for(console.input))
            return 0;
        INPUT_RECORD record;
        DWORD n = 0;
        if (!ReadConsoleInputA(console.input, &record, 1, &n)) {
            console.in.ended = true;
            return 0;
        }
        if (n == 0 || record.EventType != KEY_EVENT)
            continue;
        console.repeat_bytes = windows_key_bytes(record.Event.KeyEvent, &console.repeat_lead, &console.repeat_scan);
        if (console.repeat_bytes != 0)
            console.repeat_left = record.Event.KeyEvent.wRepeatCount > 0 ? record.Event.KeyEvent.wRepeatCount : 1;
    }
    --console.repeat_left;
    *lead = console.repeat_lead;
    *scan = console.repeat_scan;
    return console.repeat_bytes;
}

// Whether the console's next input event is a keystroke; events that are
// none (keys released, modifiers alone, the mouse, focus) are taken away, so
// that the wait for a key or MIDI input does not wake for them again.
bool console_key_next()
{
    for (;;) {
        INPUT_RECORD record;
        DWORD n = 0;
        if (!PeekConsoleInputA(console.input, &record, 1, &n) || n == 0)
            return true;  // the key read finds out what is wrong
        int lead = 0, scan = 0;
        if (record.EventType == KEY_EVENT && windows_key_bytes(record.Event.KeyEvent, &lead, &scan) != 0)
            return true;
        if (!ReadConsoleInputA(console.input, &record, 1, &n))
            return true;
        DWORD waiting = 0;
        if (!GetNumberOfConsoleInputEvents(console.input, &waiting) || waiting == 0)
            return false;
    }
}

}  // namespace

void windows_restore_console()
{
    if (console.is_console && console.raw != 0) {
        SetConsoleMode(console.input, console.original_mode);
        console.raw = 0;
    }
}

void windows_interrupt_console_read()
{
    if (console.is_console)
        CancelIoEx(console.input, nullptr);
}

int windows_key_bytes(const KEY_EVENT_RECORD& key, int* lead, int* scan)
{
    if (!key.bKeyDown)
        return 0;
    unsigned char typed = static_cast<unsigned char>(key.uChar.AsciiChar);
    if (typed != 0) {
        *lead = typed;
        return 1;
    }
    switch (key.wVirtualKeyCode) {
    case VK_SHIFT: case VK_CONTROL: case VK_MENU: case VK_CAPITAL: case VK_NUMLOCK: case VK_SCROLL:
    case VK_LWIN: case VK_RWIN: case VK_APPS:
        return 0;  // a modifier or lock key alone is no keystroke
    case VK_F11: *lead = 224; *scan = 133; return 2;
    case VK_F12: *lead = 224; *scan = 134; return 2;
    default: break;
    }
    if (key.wVirtualScanCode == 0)
        return 0;  // no key of the keyboard (text pasted or typed through an input method)
    *lead = (key.dwControlKeyState & ENHANCED_KEY) != 0 ? 224 : 0;
    *scan = key.wVirtualScanCode;
    return 2;
}

int platform_console_read_line(char* buffer, int size)
{
    set_single_key_mode(false);
    if (!fill())
        return -1;
    return assemble_line(take_byte, buffer, size);
}

int platform_console_read_key()
{
    if (console.in.pending_scan >= 0)  // the second keystroke of a two-byte key: not echoed
        return console_take_pending_scan(console.in);
    set_single_key_mode(true);
    if (platform_end_request() != 0)
        return -1;
    int c;
    if (console.in.start < console.in.end || !console.is_console) {
        c = take_byte();  // typed ahead, or not a console: byte by byte
    } else {
        int lead = 0, scan = 0;
        int bytes = next_console_key(&lead, &scan);
        if (bytes == 0)
            return -1;
        if (bytes == 2)
            console.in.pending_scan = scan;
        c = lead;
    }
    if (c < 0)
        return -1;
    console_echo_key(c, platform_console_write);
    return c;
}

int platform_console_read_key_or_midi()
{
    if (console.in.pending_scan >= 0)
        return platform_console_read_key();
    set_single_key_mode(true);
    for (;;) {
        if (windows_midi_in_pending())
            return PLATFORM_MIDI_IN_PENDING;
        HANDLE midi = windows_midi_event();
        bool key_at_hand = console.repeat_left > 0 || console.in.start < console.in.end || console.in.ended;
        if (midi == nullptr || key_at_hand || platform_end_request() != 0)
            break;
        HANDLE input = console.is_console ? console.input : (start_reader() ? console.chunk_ready : nullptr);
        if (input == nullptr)
            break;
        HANDLE waits[3] = {input, midi, windows_wake_event()};
        DWORD count = waits[2] != nullptr ? 3 : 2;
        DWORD result = WaitForMultipleObjects(count, waits, FALSE, INFINITE);
        if (result == WAIT_OBJECT_0 + 1)
            continue;  // MIDI input: the look above takes it
        if (result != WAIT_OBJECT_0 || !console.is_console || console_key_next())
            break;  // a key (or the end, or a request to end): the key read tells which
    }
    return platform_console_read_key();
}

int platform_console_read_char()
{
    set_single_key_mode(false);
    return take_byte();
}

// Writes text to an output handle, each line feed as CR LF, as a Windows
// program's text output has it.
static void write_text(HANDLE output, const char* text, size_t length)
{
    char converted[1024];
    size_t used = 0;
    for (size_t i = 0; i <= length; ++i) {
        bool last = i == length;
        if (!last && text[i] == '\n')
            converted[used++] = '\r';
        if (!last)
            converted[used++] = text[i];
        if (used + 2 > sizeof converted || (last && used > 0)) {
            const char* part = converted;
            while (used > 0) {
                DWORD written = 0;
                if (!WriteFile(output, part, static_cast<DWORD>(used), &written, nullptr) || written == 0)
                    return;  // nowhere to write to; the dialogue goes on regardless
                part += written;
                used -= written;
            }
        }
    }
}

void platform_console_write(const char* text, size_t length)
{
    write_text(GetStdHandle(STD_OUTPUT_HANDLE), text, length);
}

void platform_console_write_error(const char* text, size_t length)
{
    write_text(GetStdHandle(STD_ERROR_HANDLE), text, length);
}

bool platform_console_is_terminal()
{
    DWORD mode;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}
