// The MIDI input queue; see midi_input_queue.h.
#include "platform/midi_input_queue.h"

namespace {

struct ListeningState {
    std::atomic<bool> listening;  // input is queued; false at start
} state = {{false}};

}  // namespace

bool midi_in_short_message(const unsigned char* bytes, size_t size, uint32_t* word)
{
    if (bytes == nullptr || size == 0 || bytes[0] < 0x80 || bytes[0] >= 0xF0)
        return false;
    const unsigned status = bytes[0] & 0xF0u;
    // Program change and channel pressure have one data byte, the rest two.
    const size_t data = status == 0xC0 || status == 0xD0 ? 1 : 2;
    if (size < 1 + data || bytes[1] >= 0x80 || (data == 2 && bytes[2] >= 0x80))
        return false;
    *word = bytes[0] | static_cast<uint32_t>(bytes[1]) << 8 | (data == 2 ? static_cast<uint32_t>(bytes[2]) << 16 : 0);
    return true;
}

bool midi_in_queue_push(MidiInQueue& queue, const unsigned char* bytes, size_t size)
{
    uint32_t word;
    if (!state.listening.load(std::memory_order_acquire) || !midi_in_short_message(bytes, size, &word))
        return false;
    const uint32_t written = queue.written.load(std::memory_order_relaxed);
    if (written - queue.taken.load(std::memory_order_acquire) >= MIDI_IN_QUEUE_SIZE)
        return false;  // full: the main thread has fallen more than a queue behind
    queue.words[written % MIDI_IN_QUEUE_SIZE] = word;
    queue.written.store(written + 1, std::memory_order_release);
    return true;
}

bool midi_in_queue_take(MidiInQueue& queue, uint32_t* word)
{
    const uint32_t taken = queue.taken.load(std::memory_order_relaxed);
    if (queue.written.load(std::memory_order_acquire) == taken)
        return false;
    *word = queue.words[taken % MIDI_IN_QUEUE_SIZE];
    queue.taken.store(taken + 1, std::memory_order_release);
    return true;
}

bool midi_in_queue_pending(const MidiInQueue& queue)
{
    return queue.written.load(std::memory_order_acquire) != queue.taken.load(std::memory_order_relaxed);
}

void midi_in_queue_empty(MidiInQueue& queue)
{
    queue.taken.store(queue.written.load(std::memory_order_acquire), std::memory_order_release);
}

void midi_in_set_listening(bool on, MidiInQueue& queue, MidiInQueue* other_queue)
{
    if (!on)
        state.listening.store(false, std::memory_order_release);
    midi_in_queue_empty(queue);
    if (other_queue != nullptr)
        midi_in_queue_empty(*other_queue);
    if (on)
        state.listening.store(true, std::memory_order_release);
}

void midi_in_listening_reset() { state.listening.store(false); }
