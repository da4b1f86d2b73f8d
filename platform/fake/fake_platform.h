// The test platform: an implementation of platform.h that touches nothing of
// the operating system. It records every MIDI message with the virtual time
// it was sent at, advances a virtual clock on every sleep instead of
// sleeping, serves scripted console input and captures console output. The
// functions below let tests set it up and read what happened.
#pragma once

#include "platform/platform.h"

#include <cstdint>
#include <string>
#include <vector>

enum class FakeRoute { Port, Bridge };

// One message as it left the program: a channel message, or (on a port
// only) a system exclusive message.
struct FakeMessage {
    uint32_t time_ms;  // virtual clock when sent
    FakeRoute route;   // a platform port, or the bridge's send function
    int device_id;     // the open port's device id (Port route only)
    uint32_t word;     // the packed short message (Port route only); 0 for system exclusive
    int status;        // high nibble only: 0x80, 0x90, 0xB0, 0xC0, 0xE0; 0xF0 for system exclusive
    int channel;       // 0..15 on a port, as passed on the bridge; 0 for system exclusive
    int data1;         // 0 for system exclusive
    int data2;         // 0 for system exclusive
    int data_bytes;    // 1 or 2 (Port route only; 2 on the bridge); 0 for system exclusive
    std::vector<uint8_t> bytes = {};  // a system exclusive message whole, 0xF0 to 0xF7; else empty
};

// Back to a machine with no ports, no default synthesizer, no libraries, no
// files, no home folder, the default settings folder, clock at 0, no console
// input and nothing recorded.
void fake_reset();

// ---- MIDI ports ----
// name_result: what reading the port's name returns (0, PLATFORM_NO_DRIVER, ...).
void fake_add_port(const char* name, int name_result = PLATFORM_OK, bool opens = true);
void fake_set_default_synth(bool present, bool opens = true);
const std::vector<FakeMessage>& fake_messages();
void fake_clear_messages();
int fake_open_count();       // successful platform_midi_open calls
int fake_close_count();      // platform_midi_close calls
int fake_open_device_id();   // device id of the port open now, or -100 when none
// Whether the ports take system exclusive messages (they do after reset); a
// port that does not refuses each one as a real port that cannot take them
// does (PLATFORM_UNAVAILABLE, nothing recorded).
void fake_ports_take_sysex(bool take);

// ---- MIDI input ----
// A source the MIDI input list shows; opening it fails when opens is false.
void fake_midi_in_add_source(const char* name, bool opens = true);
// Whether the program's own input port opens (it does after reset).
void fake_midi_in_own_port_opens(bool opens);
// One MIDI event (a whole message as a library delivers it) that arrives
// just before the console input given so far is all taken: when a read is
// about to take the next byte given after it, or finds input at its end.
// Like a real source it reaches the program only while the input is open and
// listened to.
void fake_midi_in_event(const std::vector<unsigned char>& bytes);
// The index platform_midi_in_open opened (PLATFORM_MIDI_IN_OWN_PORT for the
// own port alone), or -100 while MIDI input is not open.
int fake_midi_in_open_index();
// The source goes away once the virtual clock reaches at_ms (1 or more).
void fake_midi_in_gone_at(uint32_t at_ms);
// Calls of platform_midi_in_wait since reset.
uint64_t fake_midi_in_waits();

// ---- Clock ----
void fake_set_clock(uint32_t ms);
uint32_t fake_clock();
uint64_t fake_slept_ms();    // total of all sleeps since reset

// ---- Libraries ----
// An in-process library: loading the file name succeeds; its symbols are
// those added with fake_add_symbol.
void fake_add_library(const char* file_name);
void fake_add_symbol(const char* file_name, const char* symbol, void* address);
// A real library: loading the file name loads the library at path instead.
void fake_map_library(const char* file_name, const char* path);
int fake_library_loaded(const char* file_name);  // loads minus frees

// A recording bridge under the given file name: exports whichever of the four
// bridge functions are asked for; its send function records Bridge messages
// in the message log, its initialise function returns init_result.
struct FakeBridgeOptions {
    bool cleanup = true;
    bool initialise = true;
    bool delay = true;
    bool send = true;
    int init_result = 1;
};
void fake_add_bridge(const char* file_name, const FakeBridgeOptions& options = FakeBridgeOptions());
int fake_bridge_init_calls();
int fake_bridge_cleanup_calls();

// ---- Requests to end ----
// A request (a signal number) that arrives when the virtual clock reaches
// at_ms: a sleep that passes that moment stops there.
void fake_request_end_at_time(int request, uint32_t at_ms);
// ... when a console read is about to take the input byte at position
// (counted from 0 over all input given); the read returns -1.
void fake_request_end_at_input(int request, size_t position);
// ... at the n-th look at the pending request (from 1), as a long
// computation makes between its steps.
void fake_request_end_at_check(int request, uint64_t check);
uint64_t fake_request_checks();   // looks at the pending request so far
bool fake_watching_end_requests();

// platform_end_by_request cannot end the test process: it throws this.
struct FakeProcessEnded {
    int request;
};

// ---- Console ----
// Bytes the console will deliver, in order; input ends after the last one.
void fake_console_input(const std::string& bytes);
const std::string& fake_console_output();
void fake_clear_console_output();
const std::string& fake_console_error_output();  // what was written to the error stream
size_t fake_console_pending();   // input bytes not yet taken

// ---- Files ----
// A file platform_file_read finds at exactly this path; a Folder or an
// Unreadable entry gives that result instead of bytes.
enum class FakeFile { Readable, Unreadable, Folder };
void fake_add_file(const std::string& path, const std::string& bytes, FakeFile kind = FakeFile::Readable);
// What platform_file_write last wrote at exactly this path ("" when nothing).
std::string fake_file(const std::string& path);
// The home folder platform_home_folder reports; nullptr: the system names none.
void fake_set_home(const char* folder);
// The folder platform_settings_folder reports ("/home/tester/.config/varenta"
// after reset, whatever the home folder); nullptr: the system names none.
void fake_set_settings_folder(const char* folder);
// Every path platform_make_folders was asked to make and made, in order.
const std::vector<std::string>& fake_folders_made();
// platform_make_folders fails for exactly this path from now on.
void fake_make_folders_fails(const std::string& path);
// The fake's folders are implied by its files: platform_folder_files lists
// the entries added or written at folder + "/" + name (a name with no "/" in
// it), Folder entries excepted, whether or not the folder was made; this
// makes it find the folder but fail to read it (-1).
void fake_folder_unreadable(const std::string& folder);
