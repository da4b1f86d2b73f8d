// The platform seam: every effect the portable code needs from the operating
// system, and nothing else. Each backend implements this header in its own
// files (platform/linux + platform/posix on Linux, platform/windows on
// Windows, platform/fake for tests);
// CMake links exactly one of them. There are no virtual classes and no
// callbacks: the portable code calls down, the platform never calls back.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- MIDI output ---------------------------------------------------------

// An open MIDI output port; nullptr while no port is open.
struct PlatformPort;
typedef PlatformPort* PortHandle;

// Device id of the system's default synthesizer (the "MIDI mapper").
constexpr int PLATFORM_DEFAULT_SYNTH = -1;

// Result codes of the port operations. Zero is success.
constexpr int PLATFORM_OK = 0;
constexpr int PLATFORM_NO_DRIVER = 6;    // the port's driver is not installed
constexpr int PLATFORM_UNAVAILABLE = 7;  // any other failure
constexpr int PLATFORM_BAD_DEVICE = 2;   // no such device id

// Number of MIDI output ports (device ids 0 .. count - 1). The list is taken
// once, on the first call; later calls return the same count.
int platform_midi_port_count();

// Writes the display name of a port (or of PLATFORM_DEFAULT_SYNTH) into
// buffer: at most length - 1 bytes, always terminated when length >= 1.
// Returns PLATFORM_OK, PLATFORM_NO_DRIVER or another non-zero code; on
// failure the buffer is left empty. For PLATFORM_DEFAULT_SYNTH a non-zero
// result means the system has no default synthesizer.
int platform_midi_port_name(int device_id, char* buffer, int length);

// Opens a port (or the default synthesizer). Returns PLATFORM_OK and stores
// the handle, or a non-zero code and leaves *handle untouched.
int platform_midi_open(int device_id, PortHandle* handle);

// Sends one channel message packed as a short message: bits 0-3 channel,
// 4-7 status, 8-15 data 1, 16-23 data 2. data_bytes (1 or 2) says how many
// data bytes the message has. Returns PLATFORM_OK when sent. A message is never
// dropped while the device is there: when its queue is full, the call waits
// for room (bounded, for a device that no longer answers). A device that has
// gone away takes messages silently.
int platform_midi_send(PortHandle handle, uint32_t message, int data_bytes);

// Releases an open port. Messages already sent are delivered first, within a
// bound of a few seconds for a device that no longer answers. Ports still open
// when the process ends are drained the same way.
void platform_midi_close(PortHandle handle);

// ---- Libraries loaded by file name ----------------------------------------

// Loads a shared library by file name (the system's search rules apply).
// Returns nullptr on failure, silently.
void* platform_library_load(const char* file_name);

// Address of an exported C symbol, or nullptr when the library has none.
void* platform_library_symbol(void* library, const char* name);

void platform_library_free(void* library);

// The software-synthesizer bridge as this system's build of it is named: the
// file names of the synthesizer runtime (only loaded) and of the bridge
// library, and the names the bridge exports its four functions under.
extern const char* const PLATFORM_BRIDGE_RUNTIME_LIBRARY;
extern const char* const PLATFORM_BRIDGE_LIBRARY;
extern const char* const PLATFORM_BRIDGE_EXPORT_CLEANUP;
extern const char* const PLATFORM_BRIDGE_EXPORT_INITIALISE;
extern const char* const PLATFORM_BRIDGE_EXPORT_DELAY;
extern const char* const PLATFORM_BRIDGE_EXPORT_SEND;

// What --help tells about this platform: how the device menu is made up,
// and where the manual and the README are. Whole lines, each ending in "\n".
extern const char* const PLATFORM_DEVICE_HELP;
extern const char* const PLATFORM_DOCUMENTATION_HELP;

// ---- Clock ----------------------------------------------------------------

// Milliseconds from a steady clock; wraps after 2^32 ms.
uint32_t platform_clock_ms();

// Suspends the program for the given number of milliseconds, or less when a
// request to end arrives (see below).
void platform_sleep_ms(uint32_t milliseconds);

// ---- Requests to end ---------------------------------------------------------

// From the first call on, the requests that ask the program to end (on POSIX
// the signals SIGINT, SIGTERM, SIGHUP and SIGQUIT; on Windows the console's
// Ctrl-C, Ctrl-Break and close events) no longer end it on the spot: the
// request is recorded and wakes every wait, in progress or to come
// (platform_sleep_ms and the three console reads return at once), so that the
// main thread can end every note and close the device before the process
// ends. A second request while one is pending ends the process at once.
void platform_watch_end_requests();

// The numbers requests are known by, the POSIX signal numbers on every
// platform (Windows has no SIGHUP or SIGQUIT of its own).
constexpr int PLATFORM_REQUEST_HANGUP = 1;     // SIGHUP; a closed console window
constexpr int PLATFORM_REQUEST_INTERRUPT = 2;  // SIGINT; Ctrl-C
constexpr int PLATFORM_REQUEST_QUIT = 3;       // SIGQUIT; Ctrl-Break on Windows
constexpr int PLATFORM_REQUEST_TERMINATE = 15; // SIGTERM

// The pending request: 0 for none, else the number of the request that asked
// (one of the PLATFORM_REQUEST_* numbers).
int platform_end_request();

// Ends the process as the request would have ended it had it not been
// caught (on POSIX the signal's default action, so that a shell sees 128 +
// its number; on Windows the exit status of a process ended by Ctrl-C,
// STATUS_CONTROL_C_EXIT). Never returns.
[[noreturn]] void platform_end_by_request(int request);

// ---- Console ----------------------------------------------------------------

// Reads one line into buffer (size >= 1) without its line end. A line longer
// than size - 1 bytes keeps its first size - 1 bytes; the rest of that line is
// discarded. Returns the stored length, or -1 when input has ended or a
// request to end is pending (the same for the two reads below).
int platform_console_read_line(char* buffer, int size);

// Reads one keystroke without waiting for Return and echoes it. Returns the
// byte (0..255), or -1 when input has ended.
int platform_console_read_key();

// Takes one byte from the buffered input, waiting for a whole line when none
// is buffered; the rest of the line stays buffered for the next read.
// Returns the byte (0..255), or -1 when input has ended.
int platform_console_read_char();

// Writes text to the console.
void platform_console_write(const char* text, size_t length);

// Writes text to the error stream (standard error): messages about the
// command line, which are no part of the dialogue.
void platform_console_write_error(const char* text, size_t length);

// ---- Files ------------------------------------------------------------------

// Result codes of platform_file_read. Zero is success.
constexpr int PLATFORM_FILE_OK = 0;
constexpr int PLATFORM_FILE_MISSING = 1;     // no such file (or a folder on its path is missing)
constexpr int PLATFORM_FILE_UNREADABLE = 2;  // it exists but cannot be read (permissions, a device, ...)
constexpr int PLATFORM_FILE_FOLDER = 3;      // it is a folder
constexpr int PLATFORM_FILE_TOO_LARGE = 4;   // it holds more than capacity bytes

// Reads the whole file at path (the system's own path syntax) into buffer,
// which holds capacity bytes; nothing is added after the last byte. Returns
// PLATFORM_FILE_OK and stores the number of bytes in *length, or one of the
// codes above and leaves *length at 0.
int platform_file_read(const char* path, char* buffer, size_t capacity, size_t* length);

// Writes the user's home folder, without a trailing separator unless it is
// the root, into buffer: at most size - 1 bytes, always terminated when size
// >= 1. Returns its length, or -1 when the system names none or it does not
// fit (the buffer is then empty).
int platform_home_folder(char* buffer, int size);
