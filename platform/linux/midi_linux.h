// The two MIDI backends of the Linux build, as the seam's Linux
// implementation (midi_linux.cpp for output, midi_input_linux.cpp for input)
// uses them: the ALSA sequencer through RtMidi (midi_alsa.cpp) and JACK
// directly on libjack (midi_jack.cpp).
#pragma once

#include "platform/midi_input_queue.h"

#include <cstddef>
#include <string>
#include <vector>

// One output port as a backend lists it.
struct LinuxPort {
    std::string name;    // the name shown and used to find the port again; empty when unreadable
    bool is_alsa;        // an ALSA sequencer port, else a JACK port
    unsigned type_bits;  // the ALSA port type bits; 0 for JACK ports
};

// Keeps ALSA, JACK and RtMidi diagnostics off the user's console and stops
// JACK from starting a server. Called before either backend is used.
void silence_midi_libraries();

// ---- ALSA sequencer (RtMidi) ----
void alsa_list_ports(std::vector<LinuxPort>* ports);
struct AlsaOutput;
// Opens the port of that name as client "Varenta", port "out"; nullptr on failure.
AlsaOutput* alsa_output_open(const std::string& port_name);
// Sends one whole message: a short one, or a system exclusive message, which
// the sequencer takes as one SND_SEQ_EVENT_SYSEX event.
void alsa_output_send(AlsaOutput* output, const unsigned char* bytes, size_t size);
void alsa_output_close(AlsaOutput* output);

// The ports that send, as RtMidiIn lists them, the program's own left out.
void alsa_list_sources(std::vector<LinuxPort>* ports);
struct AlsaInput;
// Opens client "Varenta" with port "in", the source of that name connected to
// it (none when empty); each message that arrives is pushed to queue and
// wakes the console's wait. nullptr on failure.
AlsaInput* alsa_input_open(const std::string& source_name, MidiInQueue* queue);
void alsa_input_close(AlsaInput* input);
// Whether the ALSA port of that name (as listed) no longer exists.
bool alsa_port_gone(AlsaInput* input, const std::string& name);

// ---- JACK (libjack) ----
// One client, "Varenta", carries the output and the input ports.
// The MIDI input ports of a JACK server that already runs; nothing otherwise.
// The program's own ports are left out.
void jack_list_ports(std::vector<LinuxPort>* ports);
// The MIDI output ports (the sources), the same way.
void jack_list_sources(std::vector<LinuxPort>* ports);
struct JackOutput;
// Gives client "Varenta" the port "out" connected to the port of that name;
// nullptr on failure.
JackOutput* jack_output_open(const std::string& port_name);
// Queues one whole message (a short one, or a system exclusive message of at
// most PLATFORM_SYSEX_MAX bytes, which leaves as one event) for the next
// process cycle, behind every message queued before it; waits for room when
// the queue is full (never long: a server that stops answering is given up
// on, and one that has stopped takes messages silently). False, and nothing
// queued, for a message longer than the port's buffer can carry.
bool jack_output_send(JackOutput* output, const unsigned char* bytes, size_t size);
// Waits until every queued message has left (a few seconds at most), then
// closes the client.
void jack_output_close(JackOutput* output);
// Gives client "Varenta" the port "in", the source of that name connected to
// it (none when empty). Each process cycle pushes what arrived to queue and
// wakes the console's wait. False on failure.
bool jack_input_open(const std::string& source_name, MidiInQueue* queue);
void jack_input_close();
// Whether the server has shut the client down, or (with a name) the port of
// that name no longer exists.
bool jack_input_gone(const std::string& source_name);
