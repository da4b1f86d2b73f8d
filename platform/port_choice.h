// Which MIDI output port stands for the system's default synthesizer.
//
// Linux has no MIDI mapper. The nearest thing a user expects is the
// synthesizer the system offers: an ALSA sequencer port that declares itself
// one (a hardware or software synth such as FluidSynth or TiMidity++). This is
// a plain function of the port list so it can be tested without ALSA.
#pragma once

// ALSA sequencer port type bits that mark a synthesizer (the values of
// SND_SEQ_PORT_TYPE_* in <alsa/seq.h>, repeated here so this file needs no
// ALSA headers).
constexpr unsigned PORT_TYPE_MIDI_GM = 1u << 2;
constexpr unsigned PORT_TYPE_MIDI_GS = 1u << 3;
constexpr unsigned PORT_TYPE_MIDI_XG = 1u << 4;
constexpr unsigned PORT_TYPE_MIDI_GM2 = 1u << 6;
constexpr unsigned PORT_TYPE_SYNTH = 1u << 10;
constexpr unsigned PORT_TYPE_DIRECT_SAMPLE = 1u << 11;
constexpr unsigned PORT_TYPE_SAMPLE = 1u << 12;
constexpr unsigned PORT_TYPE_SYNTHESIZER = 1u << 18;

constexpr unsigned PORT_TYPE_SYNTH_BITS = PORT_TYPE_MIDI_GM | PORT_TYPE_MIDI_GS | PORT_TYPE_MIDI_XG |
                                          PORT_TYPE_MIDI_GM2 | PORT_TYPE_SYNTH |
                                          PORT_TYPE_DIRECT_SAMPLE | PORT_TYPE_SAMPLE |
                                          PORT_TYPE_SYNTHESIZER;

// One output port as the backend lists it.
struct PortListing {
    bool is_alsa;         // an ALSA sequencer port (else a JACK port)
    unsigned type_bits;   // the ALSA port type bits; 0 for JACK ports
};

// Index of the port that stands for the default synthesizer: the first ALSA
// port with any synthesizer bit, in list order. -1 when there is none.
int default_synth_port(const PortListing* ports, int count);
