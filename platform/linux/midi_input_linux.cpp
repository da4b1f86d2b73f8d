// MIDI input on Linux: the sources are the ALSA sequencer's ports that send
// (through RtMidi), then a running JACK server's MIDI output ports (on
// libjack), listed once. Opening input gives the program its own input port,
// "in" on client "Varenta", on each of the two systems that is there, and
// connects the chosen source to the one of its kind. Each system's input
// arrives on a thread of its own, into a queue of its own, and wakes the
// console's wait through the MIDI wake pipe.
#include "platform/linux/midi_linux.h"
#include "platform/platform.h"
#include "platform/posix/quiet_stderr.h"
#include "platform/posix/wake_posix.h"

#include <cstring>

namespace {

struct MidiInputState {
    bool listed;                    // the source list has been taken
    std::vector<LinuxPort> sources;  // index = the seam's source index
    AlsaInput* alsa;                // the ALSA "in" port; nullptr when not open
    bool jack;                      // the JACK "in" port is open
    MidiInQueue alsa_queue;         // from RtMidi's reader thread
    MidiInQueue jack_queue;         // from the JACK process cycle
    int source;                     // the index opened, PLATFORM_MIDI_IN_OWN_PORT for none
} input;

void list_sources()
{
    if (input.listed)
        return;
    input.listed = true;
    silence_midi_libraries();
    QuietStderr quiet;
    alsa_list_sources(&input.sources);
    jack_list_sources(&input.sources);
}

}  // namespace

int platform_midi_in_count()
{
    list_sources();
    return static_cast<int>(input.sources.size());
}

int platform_midi_in_name(int index, char* buffer, int length)
{
    if (buffer != nullptr && length >= 1)
        buffer[0] = '\0';
    list_sources();
    if (index < 0 || index >= static_cast<int>(input.sources.size()))
        return PLATFORM_BAD_DEVICE;
    const std::string& name = input.sources[index].name;
    if (buffer != nullptr && length >= 1) {
        size_t n = name.size() < static_cast<size_t>(length - 1) ? name.size() : static_cast<size_t>(length - 1);
        std::memcpy(buffer, name.data(), n);
        buffer[n] = '\0';
    }
    return PLATFORM_OK;
}

int platform_midi_in_open(int index)
{
    list_sources();
    if (input.alsa != nullptr || input.jack)
        return PLATFORM_UNAVAILABLE;  // open once per run
    if (index != PLATFORM_MIDI_IN_OWN_PORT && (index < 0 || index >= static_cast<int>(input.sources.size())))
        return PLATFORM_BAD_DEVICE;
    if (!posix_midi_wake_open())
        return PLATFORM_UNAVAILABLE;
    const LinuxPort* source = index == PLATFORM_MIDI_IN_OWN_PORT ? nullptr : &input.sources[index];
    const std::string none;
    {
        QuietStderr quiet;
        input.alsa = alsa_input_open(source != nullptr && source->is_alsa ? source->name : none, &input.alsa_queue);
        input.jack = jack_input_open(source != nullptr && !source->is_alsa ? source->name : none, &input.jack_queue);
    }
    // The chosen source must be connected; without one, either port will do.
    bool ok = source == nullptr ? input.alsa != nullptr || input.jack : (source->is_alsa ? input.alsa != nullptr : input.jack);
    if (!ok) {
        platform_midi_in_close();
        return PLATFORM_UNAVAILABLE;
    }
    input.source = index;
    return PLATFORM_OK;
}

void platform_midi_in_close()
{
    QuietStderr quiet;
    if (input.alsa != nullptr)
        alsa_input_close(input.alsa);
    input.alsa = nullptr;
    if (input.jack)
        jack_input_close();
    input.jack = false;
}

void platform_midi_in_listen(bool on) { midi_in_set_listening(on, input.alsa_queue, &input.jack_queue); }

bool platform_midi_in_take(uint32_t* message)
{
    return midi_in_queue_take(input.alsa_queue, message) || midi_in_queue_take(input.jack_queue, message);
}

bool posix_midi_in_pending()
{
    return midi_in_queue_pending(input.alsa_queue) || midi_in_queue_pending(input.jack_queue);
}

bool platform_midi_in_wait(uint32_t timeout_ms)
{
    // Empty the pipe first: what is queued after this look wakes the wait.
    posix_midi_wake_drain();
    if (posix_midi_in_pending())
        return true;
    const int timeout = timeout_ms > 1000000u ? 1000000 : static_cast<int>(timeout_ms);
    posix_wait_either(posix_midi_wake_fd(), -1, timeout);
    return posix_midi_in_pending();
}

bool platform_midi_in_gone()
{
    if (input.alsa == nullptr && !input.jack)
        return false;
    if (input.source == PLATFORM_MIDI_IN_OWN_PORT || input.source < 0 ||
        input.source >= static_cast<int>(input.sources.size()))
        return input.alsa == nullptr && jack_input_gone(std::string());
    const LinuxPort& source = input.sources[input.source];
    return source.is_alsa ? alsa_port_gone(input.alsa, source.name) : jack_input_gone(source.name);
}
