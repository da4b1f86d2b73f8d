// MIDI output on Linux through RtMidi: the ALSA sequencer's ports first, then
// JACK's MIDI input ports, both listed once at start. The default
// synthesizer (device id -1) is the first ALSA port that declares itself a
// synthesizer.
//
// The libraries involved write diagnostics to stderr when there is no
// sequencer or no JACK server; none of that may reach the user's console, so
// their handlers are silenced and stderr is closed around every call into them.
#include "platform/platform.h"
#include "platform/port_choice.h"
#include "platform/posix/quiet_stderr.h"

#include <alsa/asoundlib.h>
#include <jack/jack.h>
#include <rtmidi/RtMidi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

static_assert(PORT_TYPE_SYNTH == SND_SEQ_PORT_TYPE_SYNTH, "ALSA port type bits");
static_assert(PORT_TYPE_MIDI_GM == SND_SEQ_PORT_TYPE_MIDI_GM, "ALSA port type bits");
static_assert(PORT_TYPE_SAMPLE == SND_SEQ_PORT_TYPE_SAMPLE, "ALSA port type bits");
static_assert(PORT_TYPE_SYNTHESIZER == SND_SEQ_PORT_TYPE_SYNTHESIZER, "ALSA port type bits");

namespace {

const char* const kClientName = "Varenta";
const char* const kPortName = "out";

struct PortEntry {
    RtMidi::Api api;   // LINUX_ALSA or UNIX_JACK
    std::string name;  // RtMidi's name for the port; empty when unreadable
};

struct MidiBackendState {
    bool listed;                     // the port list has been taken
    std::vector<PortEntry> ports;    // device id = index; filled once at start
    int default_synth;               // index of the default synthesizer, -1 = none
} midi = {false, {}, -1};

}  // namespace

struct PlatformPort {
    RtMidiOut* out;  // open RtMidi output, owned
};

// ---- Keeping library diagnostics off the console ---------------------------

static void quiet_alsa(const char*, int, const char*, int, const char*, ...) {}
static void quiet_jack(const char*) {}
static void quiet_rtmidi(RtMidiError::Type, const std::string&, void*) {}

static void silence_libraries()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    snd_lib_error_set_handler(quiet_alsa);
    jack_set_error_function(quiet_jack);
    jack_set_info_function(quiet_jack);
    // Listing ports must never start a JACK server behind the user's back.
    setenv("JACK_NO_START_SERVER", "1", 1);
}

// A new RtMidi output for one API, or nullptr when the API cannot start
// (no sequencer device, no JACK server).
static RtMidiOut* new_output(RtMidi::Api api)
{
    try {
        RtMidiOut* out = new RtMidiOut(api, kClientName);
        out->setErrorCallback(quiet_rtmidi, nullptr);
        return out;
    } catch (const RtMidiError&) {
        return nullptr;
    }
}

// ---- Listing ---------------------------------------------------------------

// RtMidi names an ALSA port "client:port C:P"; returns the numbers C and P.
static bool alsa_address(const std::string& name, int* client, int* port)
{
    size_t space = name.rfind(' ');
    if (space == std::string::npos)
        return false;
    return std::sscanf(name.c_str() + space + 1, "%d:%d", client, port) == 2;
}

static unsigned alsa_port_type(snd_seq_t* seq, const std::string& name)
{
    int client = 0, port = 0;
    if (seq == nullptr || !alsa_address(name, &client, &port))
        return 0;
    snd_seq_port_info_t* info = nullptr;
    snd_seq_port_info_alloca(&info);
    if (snd_seq_get_any_port_info(seq, client, port, info) < 0)
        return 0;
    return snd_seq_port_info_get_type(info);
}

static void list_ports()
{
    if (midi.listed)
        return;
    midi.listed = true;
    silence_libraries();
    QuietStderr quiet;

    std::vector<PortListing> listings;
    for (RtMidi::Api api : {RtMidi::LINUX_ALSA, RtMidi::UNIX_JACK}) {
        RtMidiOut* out = new_output(api);
        if (out == nullptr)
            continue;
        snd_seq_t* seq = nullptr;
        if (api == RtMidi::LINUX_ALSA && snd_seq_open(&seq, "default", SND_SEQ_OPEN_OUTPUT, 0) < 0)
            seq = nullptr;
        unsigned count = out->getPortCount();
        for (unsigned i = 0; i < count; ++i) {
            std::string name = out->getPortName(i);
            bool is_alsa = api == RtMidi::LINUX_ALSA;
            midi.ports.push_back(PortEntry{api, name});
            listings.push_back(PortListing{is_alsa, is_alsa ? alsa_port_type(seq, name) : 0u});
        }
        if (seq != nullptr)
            snd_seq_close(seq);
        delete out;
    }
    midi.default_synth = default_synth_port(listings.data(), static_cast<int>(listings.size()));
}

// Port index for a device id, or -1 when the id names nothing.
static int port_index(int device_id)
{
    list_ports();
    if (device_id == PLATFORM_DEFAULT_SYNTH)
        return midi.default_synth;
    if (device_id < 0 || device_id >= static_cast<int>(midi.ports.size()))
        return -1;
    return device_id;
}

static void copy_name(const std::string& name, char* buffer, int length)
{
    if (buffer == nullptr || length < 1)
        return;
    size_t n = name.size() < static_cast<size_t>(length - 1) ? name.size() : static_cast<size_t>(length - 1);
    std::memcpy(buffer, name.data(), n);
    buffer[n] = '\0';
}

// ---- The seam --------------------------------------------------------------

int platform_midi_port_count()
{
    list_ports();
    return static_cast<int>(midi.ports.size());
}

int platform_midi_port_name(int device_id, char* buffer, int length)
{
    copy_name(std::string(), buffer, length);
    int index = port_index(device_id);
    if (index < 0)
        return device_id == PLATFORM_DEFAULT_SYNTH ? PLATFORM_UNAVAILABLE : PLATFORM_BAD_DEVICE;
    if (midi.ports[index].name.empty())
        return PLATFORM_UNAVAILABLE;
    copy_name(midi.ports[index].name, buffer, length);
    return PLATFORM_OK;
}

int platform_midi_open(int device_id, PortHandle* handle)
{
    int index = port_index(device_id);
    if (index < 0)
        return PLATFORM_BAD_DEVICE;
    const PortEntry& entry = midi.ports[index];
    if (entry.name.empty())
        return PLATFORM_UNAVAILABLE;

    QuietStderr quiet;
    RtMidiOut* out = new_output(entry.api);
    if (out == nullptr)
        return PLATFORM_UNAVAILABLE;
    // Ports come and go: find this one again by its name.
    unsigned count = out->getPortCount();
    for (unsigned i = 0; i < count; ++i) {
        if (out->getPortName(i) != entry.name)
            continue;
        out->openPort(i, kPortName);
        if (!out->isPortOpen())
            break;
        *handle = new PlatformPort{out};
        return PLATFORM_OK;
    }
    delete out;
    return PLATFORM_UNAVAILABLE;
}

int platform_midi_send(PortHandle handle, uint32_t message, int data_bytes)
{
    if (handle == nullptr || handle->out == nullptr)
        return PLATFORM_UNAVAILABLE;
    const unsigned char bytes[3] = {
        static_cast<unsigned char>(message & 0xFF),
        static_cast<unsigned char>((message >> 8) & 0x7F),
        static_cast<unsigned char>((message >> 16) & 0x7F),
    };
    size_t size = data_bytes == 1 ? 2 : 3;
    handle->out->sendMessage(bytes, size);
    return PLATFORM_OK;
}

void platform_midi_close(PortHandle handle)
{
    if (handle == nullptr)
        return;
    QuietStderr quiet;
    if (handle->out != nullptr) {
        handle->out->closePort();
        delete handle->out;
    }
    delete handle;
}
