// MIDI input on its way from the thread a library delivers it on (a JACK
// process cycle, RtMidi's reader, a WinMM callback) to the main thread, which
// alone plays it: a lock-free queue of packed channel messages with one
// writer and one reader, and the one switch that says whether input is
// listened to at all. Every backend, the fake one included, queues through
// here, so what is kept and what is dropped is decided in one place.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

constexpr uint32_t MIDI_IN_QUEUE_SIZE = 4096;  // messages; a power of two

struct MidiInQueue {
    std::atomic<uint32_t> written;     // messages pushed so far (the writer's count; wraps)
    std::atomic<uint32_t> taken;       // messages taken so far (the reader's count; wraps)
    uint32_t words[MIDI_IN_QUEUE_SIZE];  // packed messages, at index count % size
};

// One incoming event, as a library delivers a whole message, packed as a
// short message (status with channel in bits 0-7, data 1 in 8-15, data 2 in
// 16-23; a second data byte the message does not have is 0). False for
// system messages (system exclusive, clock, active sensing, ...), a missing
// status byte, a data byte of 128 or more, or too few bytes.
bool midi_in_short_message(const unsigned char* bytes, size_t size, uint32_t* word);

// Writer side: queues the event when input is listened to, it is a channel
// message and the queue has room. Returns true when it was queued.
bool midi_in_queue_push(MidiInQueue& queue, const unsigned char* bytes, size_t size);

// Reader side: takes the oldest message; false when none is queued.
bool midi_in_queue_take(MidiInQueue& queue, uint32_t* word);
bool midi_in_queue_pending(const MidiInQueue& queue);

// Reader side: drops every queued message.
void midi_in_queue_empty(MidiInQueue& queue);

// Reader side: switches listening for every queue, and empties the backend's
// queues (one, or two) before listening starts and after it stops, so that
// they hold nothing that arrived while input was not listened to.
void midi_in_set_listening(bool on, MidiInQueue& queue, MidiInQueue* other_queue = nullptr);

// Back to the state at start: not listening (tests).
void midi_in_listening_reset();
