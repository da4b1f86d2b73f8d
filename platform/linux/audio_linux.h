// The two audio capture backends of the Linux build, as the seam's Linux
// implementation (audio_linux.cpp) uses them: JACK ports on libjack
// (audio_jack.cpp) and ALSA and PulseAudio devices through RtAudio
// (audio_rtaudio.cpp). Each hands its samples to the main thread through a
// lock-free ring (JACK's, which the program links anyway), mixed to one
// channel; nothing else crosses threads.
#pragma once

#include "platform/platform.h"

#include <jack/ringbuffer.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct AudioSource {
    std::string name;        // as listed and as typed
    PlatformAudioKind kind;
    unsigned device;         // RtAudio's device number; 0 for JACK
    int api;                 // RtAudio's API (RtAudio::Api); 0 for JACK
};

// ---- JACK (libjack) ----
// The clients with audio output ports, then those ports, of a JACK server
// that already runs; nothing otherwise.
void jack_list_audio_sources(std::vector<AudioSource>* sources);
// Captures the source (a client: all its audio outputs mixed) through the
// client "Varenta-in"; false when it cannot.
bool jack_capture_open(const AudioSource& source, double* sample_rate);
// The ring the samples arrive in (floats); nullptr while not capturing.
jack_ringbuffer_t* jack_capture_ring();
uint64_t jack_capture_position();
void jack_capture_close();

// ---- ALSA and PulseAudio (RtAudio) ----
void rtaudio_list_sources(std::vector<AudioSource>* sources);
bool rtaudio_capture_open(const AudioSource& source, double* sample_rate);
jack_ringbuffer_t* rtaudio_capture_ring();
uint64_t rtaudio_capture_position();
void rtaudio_capture_close();
