// The test platform; see fake_platform.h.
#include "platform/fake/fake_platform.h"
#include "platform/fake/fake_loader.h"
#include "platform/folder_out.h"
#include "platform/line_assembly.h"
#include "platform/midi_input_queue.h"
#include "platform/system_exclusive.h"

#include <cstring>
#include <map>
#include <set>

namespace {

struct FakePortSpec {
    std::string name;
    int name_result;
    bool opens;
};

struct FakeFileEntry {
    std::string bytes;
    FakeFile kind;
};

struct FakeMidiEvent {
    size_t position;                  // input byte before whose taking it arrives
    std::vector<unsigned char> bytes;
};

struct FakeLibrary {
    std::string real_path;               // non-empty: load this real library
    std::map<std::string, void*> symbols;  // in-process exports
};

struct FakeState {
    std::vector<FakePortSpec> ports;
    bool default_synth;
    bool default_synth_opens;
    std::vector<FakeMessage> messages;
    int open_count;
    int close_count;
    int open_device_id;
    bool ports_take_sysex;  // false: every system exclusive message is refused
    uint32_t clock_ms;
    uint64_t slept_ms;
    std::map<std::string, FakeLibrary> libraries;
    std::map<void*, std::string> loaded;   // handle -> file name
    std::map<std::string, int> load_balance;
    int init_result;
    int init_calls;
    int cleanup_calls;
    std::string input;
    size_t input_pos;
    bool scan_code_next;  // the last key was a lead byte (0 or 224): the next is its scan code
    std::string output;
    bool watching;            // platform_watch_end_requests has been called
    int request;              // the pending request; 0 = none
    int timed_request;        // a request due at timed_request_ms; 0 = none
    uint32_t timed_request_ms;
    int input_request;        // a request due when input_pos reaches input_request_pos; 0 = none
    size_t input_request_pos;
    int check_request;        // a request due at the check_request_at-th check; 0 = none
    uint64_t check_request_at;
    uint64_t checks;          // calls of platform_end_request
    std::string error_output;  // everything written to the error stream
    std::map<std::string, FakeFileEntry> files;  // path -> what reading it gives
    bool has_home;
    std::string home;
    bool has_settings;                         // false: the system names no settings folder
    std::string settings;                      // platform_settings_folder's answer
    std::vector<std::string> folders_made;     // platform_make_folders' successes, in order
    std::set<std::string> unmakeable_folders;  // paths platform_make_folders fails for
    std::set<std::string> unreadable_folders;  // folders platform_folder_files cannot read
    std::vector<FakePortSpec> midi_sources;   // name and whether it opens
    bool own_in_port_opens;
    int midi_in_index;                        // what is open; kNoDevice = nothing
    std::vector<FakeMidiEvent> midi_events;   // in the order given
    size_t midi_events_delivered;             // events that have arrived (queued or dropped)
    uint32_t midi_in_gone_ms;                 // the clock at which the source goes away; 0 = never
    uint64_t midi_in_waits;                   // calls of platform_midi_in_wait
} fake;

MidiInQueue midi_in_queue;  // what the program has not yet taken

const int kNoDevice = -100;
const char* const kDefaultSettingsFolder = "/home/tester/.config/varenta";

}  // namespace

struct PlatformPort {
    int device_id;
};

static PlatformPort the_port;

void fake_reset()
{
    for (auto& entry : fake.loaded) {
        if (!fake.libraries[entry.second].real_path.empty())
            fake_loader_close(entry.first);
    }
    fake.ports.clear();
    fake.default_synth = false;
    fake.default_synth_opens = true;
    fake.messages.clear();
    fake.open_count = 0;
    fake.close_count = 0;
    fake.open_device_id = kNoDevice;
    fake.ports_take_sysex = true;
    fake.clock_ms = 0;
    fake.slept_ms = 0;
    fake.libraries.clear();
    fake.loaded.clear();
    fake.load_balance.clear();
    fake.init_result = 1;
    fake.init_calls = 0;
    fake.cleanup_calls = 0;
    fake.input.clear();
    fake.input_pos = 0;
    fake.scan_code_next = false;
    fake.output.clear();
    fake.watching = false;
    fake.request = 0;
    fake.timed_request = 0;
    fake.timed_request_ms = 0;
    fake.input_request = 0;
    fake.input_request_pos = 0;
    fake.check_request = 0;
    fake.check_request_at = 0;
    fake.checks = 0;
    fake.error_output.clear();
    fake.files.clear();
    fake.has_home = false;
    fake.home.clear();
    fake.has_settings = true;
    fake.settings = kDefaultSettingsFolder;
    fake.folders_made.clear();
    fake.unmakeable_folders.clear();
    fake.unreadable_folders.clear();
    fake.midi_sources.clear();
    fake.own_in_port_opens = true;
    fake.midi_in_index = kNoDevice;
    fake.midi_events.clear();
    fake.midi_events_delivered = 0;
    fake.midi_in_gone_ms = 0;
    fake.midi_in_waits = 0;
    midi_in_listening_reset();
    midi_in_queue_empty(midi_in_queue);
}

// ---- MIDI ports ------------------------------------------------------------

void fake_add_port(const char* name, int name_result, bool opens)
{
    fake.ports.push_back(FakePortSpec{name, name_result, opens});
}

void fake_set_default_synth(bool present, bool opens)
{
    fake.default_synth = present;
    fake.default_synth_opens = opens;
}

const std::vector<FakeMessage>& fake_messages() { return fake.messages; }
void fake_clear_messages() { fake.messages.clear(); }
int fake_open_count() { return fake.open_count; }
int fake_close_count() { return fake.close_count; }
int fake_open_device_id() { return fake.open_device_id; }
void fake_ports_take_sysex(bool take) { fake.ports_take_sysex = take; }

static void copy_text(const std::string& text, char* buffer, int length)
{
    if (buffer == nullptr || length < 1)
        return;
    size_t n = std::min(text.size(), static_cast<size_t>(length - 1));
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
}

int platform_midi_port_count() { return static_cast<int>(fake.ports.size()); }

int platform_midi_port_name(int device_id, char* buffer, int length)
{
    copy_text("", buffer, length);
    if (device_id == PLATFORM_DEFAULT_SYNTH) {
        if (!fake.default_synth)
            return PLATFORM_UNAVAILABLE;
        copy_text("Fake Synth", buffer, length);
        return PLATFORM_OK;
    }
    if (device_id < 0 || device_id >= static_cast<int>(fake.ports.size()))
        return PLATFORM_BAD_DEVICE;
    const FakePortSpec& port = fake.ports[device_id];
    if (port.name_result == PLATFORM_OK)
        copy_text(port.name, buffer, length);
    return port.name_result;
}

int platform_midi_open(int device_id, PortHandle* handle)
{
    bool opens;
    if (device_id == PLATFORM_DEFAULT_SYNTH)
        opens = fake.default_synth && fake.default_synth_opens;
    else
        opens = device_id >= 0 && device_id < static_cast<int>(fake.ports.size()) && fake.ports[device_id].opens;
    if (!opens)
        return PLATFORM_UNAVAILABLE;
    the_port.device_id = device_id;
    fake.open_device_id = device_id;
    ++fake.open_count;
    *handle = &the_port;
    return PLATFORM_OK;
}

int platform_midi_send(PortHandle handle, uint32_t message, int data_bytes)
{
    if (handle == nullptr)
        return PLATFORM_UNAVAILABLE;
    FakeMessage m;
    m.time_ms = fake.clock_ms;
    m.route = FakeRoute::Port;
    m.device_id = handle->device_id;
    m.word = message;
    m.status = static_cast<int>(message & 0xF0);
    m.channel = static_cast<int>(message & 0x0F);
    m.data1 = static_cast<int>((message >> 8) & 0xFF);
    m.data2 = static_cast<int>((message >> 16) & 0xFF);
    m.data_bytes = data_bytes;
    fake.messages.push_back(m);
    return PLATFORM_OK;
}

int platform_midi_send_sysex(PortHandle handle, const uint8_t* bytes, size_t length)
{
    if (handle == nullptr || !fake.ports_take_sysex || !sysex_well_formed(bytes, length))
        return PLATFORM_UNAVAILABLE;
    FakeMessage m;
    m.time_ms = fake.clock_ms;
    m.route = FakeRoute::Port;
    m.device_id = handle->device_id;
    m.word = 0;
    m.status = 0xF0;
    m.channel = 0;
    m.data1 = 0;
    m.data2 = 0;
    m.data_bytes = 0;
    m.bytes.assign(bytes, bytes + length);
    fake.messages.push_back(m);
    return PLATFORM_OK;
}

void platform_midi_close(PortHandle handle)
{
    if (handle == nullptr)
        return;
    ++fake.close_count;
    fake.open_device_id = kNoDevice;
}

// ---- MIDI input ------------------------------------------------------------

void fake_midi_in_add_source(const char* name, bool opens)
{
    fake.midi_sources.push_back(FakePortSpec{name, PLATFORM_OK, opens});
}

void fake_midi_in_own_port_opens(bool opens) { fake.own_in_port_opens = opens; }

void fake_midi_in_event(const std::vector<unsigned char>& bytes)
{
    fake.midi_events.push_back(FakeMidiEvent{fake.input.size(), bytes});
}

int fake_midi_in_open_index() { return fake.midi_in_index; }

// Events whose moment has come arrive, as from a source's own thread.
static void deliver_midi_events()
{
    while (fake.midi_events_delivered < fake.midi_events.size() &&
           fake.midi_events[fake.midi_events_delivered].position <= fake.input_pos) {
        const std::vector<unsigned char>& bytes = fake.midi_events[fake.midi_events_delivered++].bytes;
        if (fake.midi_in_index != kNoDevice)
            midi_in_queue_push(midi_in_queue, bytes.data(), bytes.size());
    }
}

int platform_midi_in_count() { return static_cast<int>(fake.midi_sources.size()); }

int platform_midi_in_name(int index, char* buffer, int length)
{
    copy_text("", buffer, length);
    if (index < 0 || index >= static_cast<int>(fake.midi_sources.size()))
        return PLATFORM_BAD_DEVICE;
    copy_text(fake.midi_sources[index].name, buffer, length);
    return PLATFORM_OK;
}

int platform_midi_in_open(int index)
{
    bool opens = fake.own_in_port_opens;
    if (index != PLATFORM_MIDI_IN_OWN_PORT)
        opens = opens && index >= 0 && index < static_cast<int>(fake.midi_sources.size()) &&
                fake.midi_sources[index].opens;
    if (!opens)
        return PLATFORM_UNAVAILABLE;
    fake.midi_in_index = index;
    return PLATFORM_OK;
}

void platform_midi_in_close() { fake.midi_in_index = kNoDevice; }

void platform_midi_in_listen(bool on) { midi_in_set_listening(on, midi_in_queue); }

bool platform_midi_in_take(uint32_t* message) { return midi_in_queue_take(midi_in_queue, message); }

void fake_midi_in_gone_at(uint32_t at_ms) { fake.midi_in_gone_ms = at_ms; }

// A wait takes the events given for input, whatever console input they were
// given before, in batches that fit the queue; a wait with none left passes
// its time as a sleep does.
bool platform_midi_in_wait(uint32_t timeout_ms)
{
    fake.midi_in_waits++;
    if (midi_in_queue_pending(midi_in_queue))
        return true;
    for (int batch = 0; batch < 1000 && fake.midi_events_delivered < fake.midi_events.size(); ++batch) {
        const std::vector<unsigned char>& bytes = fake.midi_events[fake.midi_events_delivered++].bytes;
        if (fake.midi_in_index != kNoDevice)
            midi_in_queue_push(midi_in_queue, bytes.data(), bytes.size());
    }
    if (midi_in_queue_pending(midi_in_queue))
        return true;
    platform_sleep_ms(timeout_ms);
    return midi_in_queue_pending(midi_in_queue);
}

uint64_t fake_midi_in_waits() { return fake.midi_in_waits; }

bool platform_midi_in_gone()
{
    return fake.midi_in_index != kNoDevice && fake.midi_in_gone_ms != 0 &&
           static_cast<int32_t>(fake.clock_ms - fake.midi_in_gone_ms) >= 0;
}

// ---- Clock -----------------------------------------------------------------

void fake_set_clock(uint32_t ms) { fake.clock_ms = ms; }
uint32_t fake_clock() { return fake.clock_ms; }
uint64_t fake_slept_ms() { return fake.slept_ms; }

uint32_t platform_clock_ms() { return fake.clock_ms; }

void platform_sleep_ms(uint32_t milliseconds)
{
    if (fake.request != 0)
        return;
    int32_t due_in = static_cast<int32_t>(fake.timed_request_ms - fake.clock_ms);
    if (fake.timed_request != 0 && due_in <= static_cast<int64_t>(milliseconds)) {
        // The request arrives during this sleep: it wakes there.
        uint32_t until = due_in < 0 ? 0 : static_cast<uint32_t>(due_in);
        fake.clock_ms += until;
        fake.slept_ms += until;
        fake.request = fake.timed_request;
        fake.timed_request = 0;
        return;
    }
    fake.clock_ms += milliseconds;
    fake.slept_ms += milliseconds;
}

// ---- Requests to end -------------------------------------------------------

void fake_request_end_at_time(int request, uint32_t at_ms)
{
    fake.timed_request = request;
    fake.timed_request_ms = at_ms;
}

void fake_request_end_at_input(int request, size_t position)
{
    fake.input_request = request;
    fake.input_request_pos = position;
}

void fake_request_end_at_check(int request, uint64_t check)
{
    fake.check_request = request;
    fake.check_request_at = check;
}

uint64_t fake_request_checks() { return fake.checks; }
bool fake_watching_end_requests() { return fake.watching; }

void platform_watch_end_requests() { fake.watching = true; }

int platform_end_request()
{
    ++fake.checks;
    if (fake.check_request != 0 && fake.checks >= fake.check_request_at) {
        fake.request = fake.check_request;
        fake.check_request = 0;
    }
    return fake.request;
}

void platform_end_by_request(int request) { throw FakeProcessEnded{request}; }

// A read about to take input: true when a request is (now) pending.
static bool read_interrupted()
{
    if (fake.input_request != 0 && fake.input_pos >= fake.input_request_pos) {
        fake.request = fake.input_request;
        fake.input_request = 0;
    }
    return fake.request != 0;
}

// ---- Libraries -------------------------------------------------------------

void fake_add_library(const char* file_name) { fake.libraries[file_name]; }

void fake_add_symbol(const char* file_name, const char* symbol, void* address)
{
    fake.libraries[file_name].symbols[symbol] = address;
}

void fake_map_library(const char* file_name, const char* path) { fake.libraries[file_name].real_path = path; }

int fake_library_loaded(const char* file_name)
{
    auto it = fake.load_balance.find(file_name);
    return it == fake.load_balance.end() ? 0 : it->second;
}

static int bridge_initialise()
{
    ++fake.init_calls;
    return fake.init_result;
}

static void bridge_cleanup() { ++fake.cleanup_calls; }

static int bridge_delay(int, int) { return 0; }

static int bridge_send(int status, int channel, int data1, int data2)
{
    FakeMessage m;
    m.time_ms = fake.clock_ms;
    m.route = FakeRoute::Bridge;
    m.device_id = kNoDevice;
    m.word = 0;
    m.status = status;
    m.channel = channel;
    m.data1 = data1;
    m.data2 = data2;
    m.data_bytes = 2;
    fake.messages.push_back(m);
    return 0;
}

void fake_add_bridge(const char* file_name, const FakeBridgeOptions& options)
{
    fake_add_library(file_name);
    fake.init_result = options.init_result;
    if (options.cleanup)
        fake_add_symbol(file_name, PLATFORM_BRIDGE_EXPORT_CLEANUP, reinterpret_cast<void*>(&bridge_cleanup));
    if (options.initialise)
        fake_add_symbol(file_name, PLATFORM_BRIDGE_EXPORT_INITIALISE, reinterpret_cast<void*>(&bridge_initialise));
    if (options.delay)
        fake_add_symbol(file_name, PLATFORM_BRIDGE_EXPORT_DELAY, reinterpret_cast<void*>(&bridge_delay));
    if (options.send)
        fake_add_symbol(file_name, PLATFORM_BRIDGE_EXPORT_SEND, reinterpret_cast<void*>(&bridge_send));
}

int fake_bridge_init_calls() { return fake.init_calls; }
int fake_bridge_cleanup_calls() { return fake.cleanup_calls; }

void* platform_library_load(const char* file_name)
{
    if (file_name == nullptr)
        return nullptr;
    auto it = fake.libraries.find(file_name);
    if (it == fake.libraries.end())
        return nullptr;
    void* handle;
    if (!it->second.real_path.empty()) {
        handle = fake_loader_open(it->second.real_path.c_str());
        if (handle == nullptr)
            return nullptr;
    } else {
        handle = &it->second;  // any unique address stands for the library
    }
    fake.loaded[handle] = file_name;
    ++fake.load_balance[file_name];
    return handle;
}

void* platform_library_symbol(void* library, const char* name)
{
    auto loaded = fake.loaded.find(library);
    if (loaded == fake.loaded.end() || name == nullptr)
        return nullptr;
    FakeLibrary& lib = fake.libraries[loaded->second];
    if (!lib.real_path.empty())
        return fake_loader_symbol(library, name);
    auto sym = lib.symbols.find(name);
    return sym == lib.symbols.end() ? nullptr : sym->second;
}

void platform_library_free(void* library)
{
    auto loaded = fake.loaded.find(library);
    if (loaded == fake.loaded.end())
        return;
    --fake.load_balance[loaded->second];
    if (!fake.libraries[loaded->second].real_path.empty())
        fake_loader_close(library);
    fake.loaded.erase(loaded);
}

// ---- Console ---------------------------------------------------------------

void fake_console_input(const std::string& bytes) { fake.input += bytes; }
const std::string& fake_console_output() { return fake.output; }
void fake_clear_console_output() { fake.output.clear(); }
const std::string& fake_console_error_output() { return fake.error_output; }
size_t fake_console_pending() { return fake.input.size() - fake.input_pos; }

static int take_byte()
{
    if (fake.input_pos >= fake.input.size())
        return -1;
    return static_cast<unsigned char>(fake.input[fake.input_pos++]);
}

int platform_console_read_line(char* buffer, int size)
{
    deliver_midi_events();
    if (read_interrupted() || fake.input_pos >= fake.input.size())
        return -1;
    return assemble_line(take_byte, buffer, size);
}

// Keys as a PC console gives them: each byte one keystroke, echoed, except
// that the scan code following a lead byte (0 or 224) is not echoed.
int platform_console_read_key()
{
    deliver_midi_events();
    if (read_interrupted())
        return -1;
    int c = take_byte();
    if (c < 0)
        return c;
    if (fake.scan_code_next) {
        fake.scan_code_next = false;
    } else {
        fake.output.push_back(static_cast<char>(c));
        fake.scan_code_next = c == 0 || c == 224;
    }
    return c;
}

int platform_console_read_key_or_midi()
{
    if (!fake.scan_code_next) {  // a two-byte key's scan code is never held up
        deliver_midi_events();
        if (midi_in_queue_pending(midi_in_queue))
            return PLATFORM_MIDI_IN_PENDING;
    }
    return platform_console_read_key();
}

int platform_console_read_char()
{
    deliver_midi_events();
    return read_interrupted() ? -1 : take_byte();
}

void platform_console_write(const char* text, size_t length) { fake.output.append(text, length); }

void platform_console_write_error(const char* text, size_t length) { fake.error_output.append(text, length); }

// ---- Files -----------------------------------------------------------------

void fake_add_file(const std::string& path, const std::string& bytes, FakeFile kind)
{
    fake.files[path] = FakeFileEntry{bytes, kind};
}

void fake_set_home(const char* folder)
{
    fake.has_home = folder != nullptr;
    fake.home = folder != nullptr ? folder : "";
}

void fake_set_settings_folder(const char* folder)
{
    fake.has_settings = folder != nullptr;
    fake.settings = folder != nullptr ? folder : "";
}

const std::vector<std::string>& fake_folders_made() { return fake.folders_made; }

void fake_make_folders_fails(const std::string& path) { fake.unmakeable_folders.insert(path); }

void fake_folder_unreadable(const std::string& folder) { fake.unreadable_folders.insert(folder); }

const char PLATFORM_PATH_SEPARATOR = '/';

int platform_file_read(const char* path, char* buffer, size_t capacity, size_t* length)
{
    *length = 0;
    auto it = fake.files.find(path);
    if (it == fake.files.end())
        return PLATFORM_FILE_MISSING;
    if (it->second.kind == FakeFile::Folder)
        return PLATFORM_FILE_FOLDER;
    if (it->second.kind == FakeFile::Unreadable)
        return PLATFORM_FILE_UNREADABLE;
    if (it->second.bytes.size() > capacity)
        return PLATFORM_FILE_TOO_LARGE;
    std::memcpy(buffer, it->second.bytes.data(), it->second.bytes.size());
    *length = it->second.bytes.size();
    return PLATFORM_FILE_OK;
}

int platform_home_folder(char* buffer, int size)
{
    copy_text("", buffer, size);
    return fake.has_home ? folder_out(fake.home.data(), fake.home.size(), buffer, size) : -1;
}

int platform_file_write(const char* path, const char* bytes, size_t length)
{
    auto it = fake.files.find(path);
    if (it != fake.files.end() && it->second.kind != FakeFile::Readable)
        return it->second.kind == FakeFile::Folder ? PLATFORM_FILE_FOLDER : PLATFORM_FILE_UNREADABLE;
    fake.files[path] = FakeFileEntry{std::string(bytes, length), FakeFile::Readable};
    return PLATFORM_FILE_OK;
}

std::string fake_file(const std::string& path)
{
    auto it = fake.files.find(path);
    return it == fake.files.end() ? std::string() : it->second.bytes;
}

int platform_settings_folder(char* buffer, int size)
{
    copy_text("", buffer, size);
    return fake.has_settings ? folder_out(fake.settings.data(), fake.settings.size(), buffer, size) : -1;
}

int platform_make_folders(const char* path)
{
    if (path == nullptr || path[0] == '\0' || fake.unmakeable_folders.count(path) != 0)
        return PLATFORM_FILE_UNREADABLE;
    fake.folders_made.push_back(path);
    return PLATFORM_FILE_OK;
}

int platform_folder_files(const char* folder, void (*visit)(const char* name, void* context), void* context)
{
    if (folder == nullptr || folder[0] == '\0')
        return 0;
    if (fake.unreadable_folders.count(folder) != 0)
        return -1;
    std::string prefix = folder;
    if (prefix.back() != '/')
        prefix += '/';
    // The map keeps its paths in byte order, so the names under one prefix
    // come in byte order too.
    int count = 0;
    for (auto it = fake.files.lower_bound(prefix); it != fake.files.end(); ++it) {
        const std::string& path = it->first;
        if (path.compare(0, prefix.size(), prefix) != 0)
            break;
        std::string name = path.substr(prefix.size());
        if (name.empty() || name.find('/') != std::string::npos || it->second.kind == FakeFile::Folder)
            continue;
        if (visit != nullptr)
            visit(name.c_str(), context);
        ++count;
    }
    return count;
}

// ---- Audio capture -----------------------------------------------------------
// The test platform captures nothing: the measurement is tested end to end
// against real synthesizers, and its parts on fixed measurements.

bool platform_console_is_terminal() { return false; }
int platform_audio_source_count() { return 0; }
bool platform_audio_source_name(int, char* buffer, int length, PlatformAudioKind*)
{
    copy_text("", buffer, length);
    return false;
}
int platform_audio_open(const char*, double*) { return PLATFORM_AUDIO_NO_SOURCE; }
size_t platform_audio_take(float*, size_t) { return 0; }
uint64_t platform_audio_position() { return 0; }
void platform_audio_close() {}
