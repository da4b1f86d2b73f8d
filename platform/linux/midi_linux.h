// The two MIDI output backends of the Linux build, as the seam's Linux
// implementation (midi_linux.cpp) uses them: the ALSA sequencer through
// RtMidi (midi_alsa.cpp) and JACK directly on libjack (midi_jack.cpp).
#pragma once

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
void alsa_output_send(AlsaOutput* output, const unsigned char* bytes, size_t size);
void alsa_output_close(AlsaOutput* output);

// ---- JACK (libjack) ----
// The MIDI input ports of a JACK server that already runs; nothing otherwise.
void jack_list_ports(std::vector<LinuxPort>* ports);
struct JackOutput;
// Opens client "Varenta" with port "out" connected to the port of that name;
// nullptr on failure.
JackOutput* jack_output_open(const std::string& port_name);
// Queues one message for the next process cycle; waits for room when the
// queue is full (never long: a server that stops answering is given up on).
void jack_output_send(JackOutput* output, const unsigned char* bytes, size_t size);
// Waits until every queued message has left (a few seconds at most), then
// closes the client.
void jack_output_close(JackOutput* output);
