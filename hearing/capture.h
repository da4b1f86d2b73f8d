// The sound being measured: captured live from an audio source behind the
// platform seam, or rendered on demand by the built-in synthesizer's offline
// bridge. Either way it is one growing buffer of mono samples counted from
// the start, and a position that says which frame a sound made now becomes.
#pragma once

#include <cstddef>
#include <cstdint>

// Thrown by capture_wait_until when a live source stops delivering.
struct CaptureStopped {};

// Starts capturing the named source; returns the platform's result code
// (PLATFORM_OK, PLATFORM_AUDIO_NO_SOURCE, ...).
int capture_open_live(const char* source);

// Measures the offline bridge (midi/bridge.h, already started at
// CAPTURE_OFFLINE_RATE): its sound is rendered as the measurement waits.
void capture_open_offline();

constexpr int CAPTURE_OFFLINE_RATE = 44100;  // Hz, the offline bridge's rate

// Sample rate of the sound, Hz.
double capture_rate();

// The frame a sound started now arrives as (before the synthesizer's delay).
uint64_t capture_position();

// Waits until the buffer holds frames [0, frame), rendering them when
// offline. Throws EndRequested on a request to end, CaptureStopped when a
// live source has delivered nothing for two seconds.
void capture_wait_until(uint64_t frame);

// The samples from frame on (frame < the frames waited for); the pointer
// stays valid until the next wait.
const float* capture_samples(uint64_t frame);

// Frames in the buffer.
uint64_t capture_frames();

// Stops a live capture and empties the buffer.
void capture_close();

// Back to the state at program start (tests).
void capture_reset();
