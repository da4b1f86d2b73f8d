// MIDI output on Linux: the ALSA sequencer's ports first (through RtMidi),
// then JACK's MIDI input ports (on libjack), both listed once at start. The
// default synthesizer (device id -1) is the first ALSA port that declares
// itself a synthesizer.
//
// The libraries involved write diagnostics to stderr when there is no
// sequencer or no JACK server; none of that may reach the user's console, so
// their handlers are silenced and stderr is closed around the calls that
// would complain.
#include "platform/linux/midi_linux.h"
#include "platform/platform.h"
#include "platform/port_choice.h"
#include "platform/posix/quiet_stderr.h"
#include "platform/system_exclusive.h"

#include <alsa/asoundlib.h>
#include <jack/jack.h>

#include <cstdlib>
#include <cstring>

static_assert(PORT_TYPE_SYNTH == SND_SEQ_PORT_TYPE_SYNTH, "ALSA port type bits");
static_assert(PORT_TYPE_MIDI_GM == SND_SEQ_PORT_TYPE_MIDI_GM, "ALSA port type bits");
static_assert(PORT_TYPE_SAMPLE == SND_SEQ_PORT_TYPE_SAMPLE, "ALSA port type bits");
static_assert(PORT_TYPE_SYNTHESIZER == SND_SEQ_PORT_TYPE_SYNTHESIZER, "ALSA port type bits");

namespace {

struct MidiBackendState {
    bool listed;                    // the port list has been taken
    std::vector<LinuxPort> ports;   // device id = index; filled once at start
    int default_synth;              // index of the default synthesizer, -1 = none
} midi = {false, {}, -1};

}  // namespace

struct PlatformPort {
    AlsaOutput* alsa;  // exactly one of the two is set
    JackOutput* jack;
};

// ---- Keeping library diagnostics off the console ---------------------------

static void quiet_alsa(const char*, int, const char*, int, const char*, ...) {}
static void quiet_jack(const char*) {}

void silence_midi_libraries()
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

// ---- Listing ---------------------------------------------------------------

static void list_ports()
{
    if (midi.listed)
        return;
    midi.listed = true;
    silence_midi_libraries();
    QuietStderr quiet;
    alsa_list_ports(&midi.ports);
    jack_list_ports(&midi.ports);

    std::vector<PortListing> listings;
    for (const LinuxPort& port : midi.ports)
        listings.push_back(PortListing{port.is_alsa, port.type_bits});
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
    const LinuxPort& entry = midi.ports[index];
    if (entry.name.empty())
        return PLATFORM_UNAVAILABLE;
    PlatformPort port = {nullptr, nullptr};
    {
        QuietStderr quiet;
        if (entry.is_alsa)
            port.alsa = alsa_output_open(entry.name);
        else
            port.jack = jack_output_open(entry.name);
    }
    if (port.alsa == nullptr && port.jack == nullptr)
        return PLATFORM_UNAVAILABLE;
    *handle = new PlatformPort(port);
    return PLATFORM_OK;
}

int platform_midi_send(PortHandle handle, uint32_t message, int data_bytes)
{
    if (handle == nullptr)
        return PLATFORM_UNAVAILABLE;
    const unsigned char bytes[3] = {
        static_cast<unsigned char>(message & 0xFF),
        static_cast<unsigned char>((message >> 8) & 0x7F),
        static_cast<unsigned char>((message >> 16) & 0x7F),
    };
    size_t size = data_bytes == 1 ? 2 : 3;
    if (handle->alsa != nullptr)
        alsa_output_send(handle->alsa, bytes, size);
    else
        jack_output_send(handle->jack, bytes, size);
    return PLATFORM_OK;
}

int platform_midi_send_sysex(PortHandle handle, const uint8_t* bytes, size_t length)
{
    if (handle == nullptr || !sysex_well_formed(bytes, length))
        return PLATFORM_UNAVAILABLE;
    if (handle->alsa != nullptr) {
        alsa_output_send(handle->alsa, bytes, length);
        return PLATFORM_OK;
    }
    return jack_output_send(handle->jack, bytes, length) ? PLATFORM_OK : PLATFORM_UNAVAILABLE;
}

void platform_midi_close(PortHandle handle)
{
    if (handle == nullptr)
        return;
    {
        QuietStderr quiet;
        if (handle->alsa != nullptr)
            alsa_output_close(handle->alsa);
        else
            jack_output_close(handle->jack);
    }
    delete handle;
}
