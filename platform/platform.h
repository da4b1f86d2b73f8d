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

// The longest system exclusive message platform_midi_send_sysex takes,
// bytes from 0xF0 to 0xF7 included.
constexpr size_t PLATFORM_SYSEX_MAX = 256;

// Sends one complete system exclusive message: bytes[0] is 0xF0,
// bytes[length - 1] is 0xF7, every byte between is below 0x80, and length
// is 3..PLATFORM_SYSEX_MAX. It reaches the device in order with the short
// messages sent before and after it, and is never dropped while the device
// is there (as platform_midi_send). Returns PLATFORM_OK when sent, or
// PLATFORM_UNAVAILABLE for a malformed message or a port that cannot take
// one (the message is then not sent at all).
int platform_midi_send_sysex(PortHandle handle, const uint8_t* bytes, size_t length);

// Releases an open port. Messages already sent are delivered first, within a
// bound of a few seconds for a device that no longer answers. Ports still open
// when the process ends are drained the same way.
void platform_midi_close(PortHandle handle);

// ---- MIDI input ------------------------------------------------------------

// Index that platform_midi_in_open takes for the program's own input port
// alone, with no source connected to it.
constexpr int PLATFORM_MIDI_IN_OWN_PORT = -1;

// Number of MIDI sources the program can read (indexes 0 .. count - 1): on
// Linux the ALSA sequencer ports that send, then the MIDI output ports of a
// JACK server that already runs; on Windows the midiIn devices. The list is
// taken once, on the first call. The program's own ports are never listed.
int platform_midi_in_count();

// Writes a source's name as platform_midi_port_name does; PLATFORM_OK, or a
// non-zero code and an empty buffer.
int platform_midi_in_name(int index, char* buffer, int length);

// Opens MIDI input for the rest of the run: the program's own input port
// ("in" on client "Varenta", where the system has such ports) and, unless
// index is PLATFORM_MIDI_IN_OWN_PORT, the source of that index connected to
// it. Returns PLATFORM_OK or a non-zero code (nothing is left open). Input is
// not listened to until platform_midi_in_listen.
int platform_midi_in_open(int index);

// Closes what platform_midi_in_open opened; nothing when it is not open.
void platform_midi_in_close();

// While listening, channel messages that arrive are queued, each waking the
// wait of platform_console_read_key_or_midi; system messages (system
// exclusive, clock, active sensing, ...) never are. While not listening
// (from the start) whatever arrives is dropped, and switching listening off
// drops what is still queued.
void platform_midi_in_listen(bool on);

// Takes the oldest queued message, packed as platform_midi_send has it (the
// status byte with its channel in bits 0-7, data 1 in 8-15, data 2 in
// 16-23). Returns false when none is queued.
bool platform_midi_in_take(uint32_t* message);

// Waits until MIDI input is queued, a request to end is pending or
// timeout_ms milliseconds have passed. Returns true when input is queued.
bool platform_midi_in_wait(uint32_t timeout_ms);

// Whether the input opened has gone away: the source connected at the open
// no longer exists (unplugged, its program ended, the JACK server carrying it
// stopped), or, for the program's own port alone, every system carrying it
// has. Windows cannot tell (a device unplugged simply falls silent): false.
bool platform_midi_in_gone();

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
extern const char* const PLATFORM_BRIDGE_OFFLINE_LIBRARY;  // the bridge's offline build (measuring it)
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

// What platform_console_read_key_or_midi returns when MIDI input is queued.
constexpr int PLATFORM_MIDI_IN_PENDING = 256;

// platform_console_read_key, except that the wait for a key also ends when
// MIDI input is queued: then it returns PLATFORM_MIDI_IN_PENDING and takes
// no key (queued input is reported before keys typed ahead).
int platform_console_read_key_or_midi();

// Takes one byte from the buffered input, waiting for a whole line when none
// is buffered; the rest of the line stays buffered for the next read.
// Returns the byte (0..255), or -1 when input has ended.
int platform_console_read_char();

// Writes text to the console.
void platform_console_write(const char* text, size_t length);

// Writes text to the error stream (standard error): messages about the
// command line, which are no part of the dialogue.
void platform_console_write_error(const char* text, size_t length);

// True when standard output is a terminal (a progress bar may redraw its
// line), false for a pipe or a file.
bool platform_console_is_terminal();

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

// Writes length bytes to the file at path, replacing whatever was there.
// Returns PLATFORM_FILE_OK, or PLATFORM_FILE_MISSING (its folder does not
// exist), PLATFORM_FILE_FOLDER or PLATFORM_FILE_UNREADABLE (it cannot be
// written, or not whole).
int platform_file_write(const char* path, const char* bytes, size_t length);

// Writes the user's home folder, without a trailing separator unless it is
// the root, into buffer: at most size - 1 bytes, always terminated when size
// >= 1. Returns its length, or -1 when the system names none or it does not
// fit (the buffer is then empty).
int platform_home_folder(char* buffer, int size);

// The character that separates a path's folders: '/', or '\\' on Windows.
extern const char PLATFORM_PATH_SEPARATOR;

// Writes the folder where the program keeps the user's settings (its
// calibrations among them) into buffer, without a trailing separator: on
// Linux $XDG_CONFIG_HOME/varenta when XDG_CONFIG_HOME is set to an absolute
// path, else ~/.config/varenta; on Windows %APPDATA%\\varenta. The folder
// need not exist. Returns its length, or -1 when the system names no such
// place or it does not fit in size - 1 bytes (the buffer is then empty).
int platform_settings_folder(char* buffer, int size);

// Creates the folder at path and every missing folder above it. Returns
// PLATFORM_FILE_OK when the folder exists afterwards, else
// PLATFORM_FILE_UNREADABLE (it cannot be made, or a file stands in its way).
int platform_make_folders(const char* path);

// Calls visit(name, context) for every ordinary file directly in folder
// (its name alone, without the folder), in byte order of the names.
// Returns how many there were: 0 when the folder does not exist, -1 when it
// exists but cannot be read.
int platform_folder_files(const char* folder, void (*visit)(const char* name, void* context), void* context);


// ---- Audio capture (measuring a synthesizer from its sound) ------------------

// What kind of source a capture source is.
enum PlatformAudioKind {
    PLATFORM_AUDIO_JACK_CLIENT,  // every audio output port of a JACK client, mixed
    PLATFORM_AUDIO_JACK_PORT,    // one JACK audio output port
    PLATFORM_AUDIO_DEVICE,       // an ALSA or PulseAudio capture device (a loopback, a monitor)
};

// Result codes of platform_audio_open. Zero is success.
constexpr int PLATFORM_AUDIO_NO_SOURCE = 1;    // no source of that name
constexpr int PLATFORM_AUDIO_FAILED = 2;       // it is there but would not open
constexpr int PLATFORM_AUDIO_UNSUPPORTED = 3;  // this build has no audio capture

// Number of sources that can be captured: JACK clients and ports (while a
// JACK server runs), then ALSA and PulseAudio capture devices. Listed afresh
// on every call.
int platform_audio_source_count();

// Writes the name of source index (0 .. count - 1 of the last count) into
// buffer (at most length - 1 bytes, always terminated when length >= 1) and
// its kind into *kind. Returns false for an index that names none.
bool platform_audio_source_name(int index, char* buffer, int length, PlatformAudioKind* kind);

// Starts capturing the named source (a name as listed; a JACK client's ports
// are mixed into one signal, a device's channels too) and writes its sample
// rate into *sample_rate. One capture at a time. Returns PLATFORM_OK or one
// of the codes above.
int platform_audio_open(const char* source, double* sample_rate);

// Moves up to capacity of the samples captured since the last call into
// buffer, oldest first; returns how many. Never waits.
size_t platform_audio_take(float* buffer, size_t capacity);

// Where the capture stands now, in frames since it started: the frame that
// a sound made at this moment would arrive as (before the synthesizer's own
// delay), whether or not it has been taken yet.
uint64_t platform_audio_position();

// Stops capturing; samples not taken are dropped.
void platform_audio_close();
