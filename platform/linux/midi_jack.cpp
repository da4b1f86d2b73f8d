// MIDI to and from JACK, written directly on libjack: one client, "Varenta",
// owns the program's port "out" while a JACK port is the output device, and
// its port "in" while MIDI input is open; either may be open without the
// other (input beside an ALSA output or the bridge).
//
// Output never loses a message: the program's thread puts each message,
// stamped with its place on JACK's frame clock, into a lock-free ring buffer;
// the process callback moves them into the port's buffer one period after
// they were sent, keeping their spacing, and carries whatever does not fit
// one cycle over to the next. A system exclusive message travels the same
// ring as the short ones, whole, so it keeps its place among them and leaves
// as one event. The stamp is the frame at which the client's
// last cycle began plus the time since that cycle's callback ran: JACK's own
// estimate of the current frame (jack_frame_time) strays by more than a
// period either way on a busy machine with the dummy driver, which would
// put an answer to MIDI input a period late as often as not. Sending waits
// for room when the ring is full; closing waits until the ring is empty and
// the last events have left the port.
//
// Input is queued by the process callback for the main thread, which it
// wakes at once through the MIDI wake pipe; the output then lands one period
// after the main thread answers.
//
// A server that stops (shutdown) makes sending silent; one that stops
// answering is given up on after a bounded wait, so the program never hangs
// on it.
#include "platform/linux/midi_linux.h"
#include "platform/platform.h"
#include "platform/posix/wake_posix.h"

#include <jack/jack.h>
#include <jack/midiport.h>
#include <jack/ringbuffer.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <semaphore.h>

namespace {

const char* const kClientName = "Varenta";
const char* const kOutPortName = "out";
const char* const kInPortName = "in";

// One queued message is this head followed by the message's bytes. A record
// enters the ring whole (one advance of the write pointer), so the process
// callback never sees a record half written.
struct RecordHead {
    jack_nframes_t frame;  // the client's frame clock when it was sent (frame_now)
    uint32_t size;         // bytes that follow: 1..3, or a whole system exclusive message
};
constexpr size_t kLongestRecord = sizeof(RecordHead) + PLATFORM_SYSEX_MAX;

constexpr size_t kRingBytes = 1 << 18;          // 23831 three-byte messages, 992 of the longest
constexpr long kSendPatienceMs = 2000;          // longest wait for room in the ring
constexpr long kCloseDrainMs = 3000;            // longest wait for the ring to empty at close
constexpr long kConnectWaitMs = 1000;           // longest wait for a new connection to take effect
constexpr long kWaitStepMs = 20;                // one wait for the next cycle

long now_ms()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

}  // namespace

// The output side of the client (the handle midi_linux.cpp holds).
struct JackOutput {
    jack_ringbuffer_t* ring;  // Records from the program's thread to the process callback
};

namespace {

struct JackState {
    jack_client_t* client;               // "Varenta"; nullptr while neither side is open
    jack_port_t* out_port;               // "out", registered on first use; lives as long as the client
    jack_port_t* in_port;                // "in", the same
    std::atomic<jack_port_t*> out_live;  // out_port while the output is open, for the callback
    std::atomic<jack_port_t*> in_live;   // in_port while input is open, for the callback
    MidiInQueue* in_queue;               // where input goes while in_live is set
    JackOutput output;                   // the ring; allocated on first use
    bool output_open;                    // jack_output_open succeeded and not yet closed
    bool input_open;                     // jack_input_open succeeded and not yet closed
    std::atomic<bool> dead;              // the server has shut the client down
    std::atomic<bool> stalled;           // a wait for room timed out: the server does not answer
    std::atomic<uint32_t> cycles;        // process cycles run so far
    std::atomic<size_t> longest_event;   // bytes of the largest event an empty port buffer takes;
                                         // 0 until the first cycle with the output open
    std::atomic<uint64_t> cycle_mark;    // the last cycle: its first frame (high 32 bits) and the
                                         // microsecond clock (low 32 bits, wrapping) when its callback ran
    double frames_per_usec;              // the server's sample rate, per microsecond
    std::atomic<bool> waiting;           // the program's thread waits for the next cycle
    sem_t cycle_done;                    // posted after a cycle while someone waits
    bool abandoned;                      // a close found the server not answering: the client is left
    bool exit_hook;                      // the exit hook is installed
} jack;

void take_input(jack_nframes_t frames)
{
    jack_port_t* port = jack.in_live.load();
    if (port == nullptr)
        return;
    void* buffer = jack_port_get_buffer(port, frames);
    const uint32_t count = jack_midi_get_event_count(buffer);
    bool queued = false;
    for (uint32_t i = 0; i < count; ++i) {
        jack_midi_event_t event;
        if (jack_midi_event_get(&event, buffer, i) == 0)
            queued = midi_in_queue_push(*jack.in_queue, event.buffer, event.size) || queued;
    }
    if (queued)
        posix_midi_wake();  // once per cycle
}

void give_output(jack_nframes_t frames)
{
    jack_port_t* port = jack.out_live.load();
    if (port == nullptr)
        return;
    void* buffer = jack_port_get_buffer(port, frames);
    jack_midi_clear_buffer(buffer);
    jack.longest_event.store(jack_midi_max_event_size(buffer));
    jack_ringbuffer_t* ring = jack.output.ring;
    const jack_nframes_t cycle_start = jack_last_frame_time(jack.client);
    jack_nframes_t last_offset = 0;
    bool written = false;
    uint8_t record[kLongestRecord];
    RecordHead head;
    while (jack_ringbuffer_read_space(ring) >= sizeof head) {
        jack_ringbuffer_peek(ring, reinterpret_cast<char*>(&head), sizeof head);
        const size_t record_size = sizeof head + head.size;
        if (head.size > PLATFORM_SYSEX_MAX || jack_ringbuffer_read_space(ring) < record_size)
            break;  // cannot be: records enter whole and never longer
        // Due one period after it was sent, which keeps the spacing of
        // messages sent at different times within a cycle.
        int32_t due = static_cast<int32_t>(head.frame + frames - cycle_start);
        if (due >= static_cast<int32_t>(frames) && due < 2 * static_cast<int32_t>(frames))
            break;  // sent during the cycle that is running: its turn comes next
        if (due >= static_cast<int32_t>(frames))
            due = static_cast<int32_t>(frames) - 1;  // sent while cycles were not running (a stalled server): now
        jack_nframes_t offset = due < static_cast<int32_t>(last_offset) ? last_offset : static_cast<jack_nframes_t>(due);
        jack_midi_data_t* data = jack_midi_event_reserve(buffer, offset, head.size);
        if (data == nullptr && written)
            break;  // the port's buffer is full this cycle: the rest waits for the next
        // With nothing written yet, no cycle would ever take it (the port's
        // buffer has shrunk since it was sent): it is passed over rather than
        // hold back every message behind it.
        if (data != nullptr) {
            jack_ringbuffer_peek(ring, reinterpret_cast<char*>(record), record_size);
            std::memcpy(data, record + sizeof head, head.size);
            last_offset = offset;
            written = true;
        }
        jack_ringbuffer_read_advance(ring, record_size);
    }
}

// The process callback: real-time, so no locks, no allocation, no waiting.
// The output is given before the input is taken: what the main thread sends
// in answer to this cycle's input, even while this callback still runs, goes
// out in the next cycle, never at an offset of this one that the input has
// already passed.
int process(jack_nframes_t frames, void*)
{
    jack.cycle_mark.store(static_cast<uint64_t>(jack_last_frame_time(jack.client)) << 32 |
                          static_cast<uint32_t>(jack_get_time()));
    give_output(frames);
    take_input(frames);
    jack.cycles.fetch_add(1);
    if (jack.waiting.load())
        sem_post(&jack.cycle_done);
    return 0;
}

void on_shutdown(void*)
{
    jack.dead.store(true);
    sem_post(&jack.cycle_done);
}

// Where the program's thread is now on the client's frame clock: the last
// cycle's first frame plus the frames since its callback ran.
jack_nframes_t frame_now()
{
    const uint64_t mark = jack.cycle_mark.load();
    const uint32_t since_usecs = static_cast<uint32_t>(jack_get_time()) - static_cast<uint32_t>(mark);
    return static_cast<jack_nframes_t>(mark >> 32) +
           static_cast<jack_nframes_t>(static_cast<double>(since_usecs) * jack.frames_per_usec);
}

// Waits for the next process cycle, at most kWaitStepMs.
void wait_for_cycle()
{
    jack.waiting.store(true);
    timespec until;
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_nsec += kWaitStepMs * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_nsec -= 1000000000L;
        ++until.tv_sec;
    }
    while (sem_timedwait(&jack.cycle_done, &until) != 0 && errno == EINTR) {
    }
    jack.waiting.store(false);
}

// Waits until cycles have run past `cycle`; false when the server is gone or
// does not answer within deadline_ms (a monotonic reading).
bool wait_for_cycles_past(uint32_t cycle, long deadline_ms)
{
    while (static_cast<int32_t>(jack.cycles.load() - cycle) <= 0) {
        if (jack.dead.load() || now_ms() > deadline_ms)
            return false;
        wait_for_cycle();
    }
    return true;
}

// Waits until every queued message has been handed to the port and the
// cycles that carried the last of them are over. False when that could not
// be seen within the bound.
bool drain()
{
    const long deadline = now_ms() + kCloseDrainMs;
    while (jack_ringbuffer_read_space(jack.output.ring) > 0) {
        if (jack.dead.load() || now_ms() > deadline)
            return false;
        wait_for_cycle();
    }
    // The cycle that took the last record may not have counted itself yet;
    // two more make sure the port's readers have had it.
    return wait_for_cycles_past(jack.cycles.load() + 1, deadline);
}

// The client, opened and activated on first use; nullptr when there is no
// server (or the last one was given up on).
jack_client_t* acquire_client()
{
    if (jack.client != nullptr || jack.abandoned)
        return jack.abandoned ? nullptr : jack.client;
    jack_status_t status;
    jack_client_t* client = jack_client_open(kClientName, JackNoStartServer, &status);
    if (client == nullptr)
        return nullptr;
    jack.client = client;
    jack.dead.store(false);
    jack.stalled.store(false);
    jack.cycles.store(0);
    jack.longest_event.store(0);
    jack.cycle_mark.store(static_cast<uint32_t>(jack_get_time()));  // no cycle yet: frame 0, now
    jack.frames_per_usec = jack_get_sample_rate(client) / 1e6;
    jack.waiting.store(false);
    sem_init(&jack.cycle_done, 0, 0);
    jack_set_process_callback(client, process, nullptr);
    jack_on_shutdown(client, on_shutdown, nullptr);
    if (jack_activate(client) != 0) {
        jack_client_close(client);
        sem_destroy(&jack.cycle_done);
        jack.client = nullptr;
    }
    return jack.client;
}

// Closes the client once neither side needs it.
void release_client()
{
    if (jack.client == nullptr || jack.output_open || jack.input_open || jack.abandoned)
        return;
    jack_deactivate(jack.client);
    jack_client_close(jack.client);
    sem_destroy(&jack.cycle_done);
    jack.client = nullptr;
    jack.out_port = nullptr;
    jack.in_port = nullptr;
    if (jack.output.ring != nullptr)
        jack_ringbuffer_free(jack.output.ring);
    jack.output.ring = nullptr;
}

jack_port_t* own_port(jack_port_t** port, const char* name, unsigned long flags)
{
    if (*port == nullptr)
        *port = jack_port_register(jack.client, name, JACK_DEFAULT_MIDI_TYPE, flags, 0);
    return *port;
}

void close_output()
{
    if (!jack.output_open)
        return;
    if (!drain() && !jack.dead.load()) {
        // A server that no longer answers could hold a close request for
        // ever: the client, still running our callback, is left as it is
        // until the process ends.
        jack.abandoned = true;
        return;
    }
    jack.out_live.store(nullptr);
    jack.output_open = false;
    if (jack.input_open && !jack.dead.load())
        jack_port_disconnect(jack.client, jack.out_port);
    release_client();
}

// A port a failure path left open still delivers what was sent to it.
void close_output_at_exit() { close_output(); }

// The MIDI ports of the server with these flags, but for the program's own.
void list_ports(unsigned long flags, std::vector<LinuxPort>* ports)
{
    jack_client_t* client = jack.abandoned ? nullptr : jack.client;
    const bool temporary = client == nullptr;
    if (temporary) {
        jack_status_t status;
        client = jack_client_open(kClientName, JackNoStartServer, &status);
        if (client == nullptr)
            return;
    }
    const char** names = jack_get_ports(client, nullptr, JACK_DEFAULT_MIDI_TYPE, flags);
    for (const char** name = names; name != nullptr && *name != nullptr; ++name) {
        jack_port_t* port = temporary ? nullptr : jack_port_by_name(client, *name);
        if (port == nullptr || !jack_port_is_mine(client, port))
            ports->push_back(LinuxPort{*name, false, 0u});
    }
    jack_free(names);
    if (temporary)
        jack_client_close(client);
}

}  // namespace

void jack_list_ports(std::vector<LinuxPort>* ports) { list_ports(JackPortIsInput, ports); }

void jack_list_sources(std::vector<LinuxPort>* ports) { list_ports(JackPortIsOutput, ports); }

JackOutput* jack_output_open(const std::string& port_name)
{
    if (jack.output_open || acquire_client() == nullptr)
        return nullptr;
    if (jack.output.ring == nullptr)
        jack.output.ring = jack_ringbuffer_create(kRingBytes);
    jack_port_t* port = jack.output.ring != nullptr ? own_port(&jack.out_port, kOutPortName, JackPortIsOutput) : nullptr;
    bool ok = port != nullptr && jack_connect(jack.client, jack_port_name(port), port_name.c_str()) == 0;
    if (ok) {
        jack.out_live.store(port);
        // Messages sent before the connection is part of the graph would
        // reach nobody: wait until it has carried a cycle.
        const long deadline = now_ms() + kConnectWaitMs;
        while (jack_port_connected(port) == 0 && now_ms() < deadline && !jack.dead.load())
            wait_for_cycle();
        ok = jack_port_connected(port) > 0 && wait_for_cycles_past(jack.cycles.load() + 1, deadline);
    }
    if (!ok) {
        jack.out_live.store(nullptr);
        if (port != nullptr && !jack.dead.load())
            jack_port_disconnect(jack.client, port);
        release_client();
        return nullptr;
    }
    jack.output_open = true;
    if (!jack.exit_hook) {
        jack.exit_hook = true;
        std::atexit(close_output_at_exit);
    }
    return &jack.output;
}

bool jack_output_send(JackOutput* out, const unsigned char* bytes, size_t size)
{
    if (size == 0 || size > PLATFORM_SYSEX_MAX)
        return false;
    // A message longer than the port's buffer can carry would never leave.
    const size_t longest = jack.longest_event.load();
    if (size > 3 && longest > 0 && size > longest)
        return false;
    if (jack.dead.load())
        return true;
    const RecordHead head = {frame_now(), static_cast<uint32_t>(size)};
    const size_t record_size = sizeof head + size;
    if (jack_ringbuffer_write_space(out->ring) < record_size) {
        // A full ring waits for the process callback to make room, unless the
        // server has already shown that it does not answer.
        if (jack.stalled.load())
            return true;
        const long deadline = now_ms() + kSendPatienceMs;
        while (jack_ringbuffer_write_space(out->ring) < record_size) {
            if (jack.dead.load())
                return true;
            if (now_ms() > deadline) {
                jack.stalled.store(true);
                return true;
            }
            wait_for_cycle();
        }
    }
    jack.stalled.store(false);
    uint8_t record[kLongestRecord];
    std::memcpy(record, &head, sizeof head);
    std::memcpy(record + sizeof head, bytes, size);
    // Copied into the free space first and made visible with one advance:
    // the process callback takes the record whole or not at all.
    jack_ringbuffer_data_t space[2];
    jack_ringbuffer_get_write_vector(out->ring, space);
    const size_t first = record_size < space[0].len ? record_size : space[0].len;
    std::memcpy(space[0].buf, record, first);
    if (record_size > first)
        std::memcpy(space[1].buf, record + first, record_size - first);
    jack_ringbuffer_write_advance(out->ring, record_size);
    return true;
}

void jack_output_close(JackOutput*) { close_output(); }

bool jack_input_open(const std::string& source_name, MidiInQueue* queue)
{
    if (jack.input_open || acquire_client() == nullptr)
        return false;
    jack_port_t* port = own_port(&jack.in_port, kInPortName, JackPortIsInput);
    bool ok = port != nullptr &&
              (source_name.empty() || jack_connect(jack.client, source_name.c_str(), jack_port_name(port)) == 0);
    if (!ok) {
        release_client();
        return false;
    }
    jack.in_queue = queue;
    jack.in_live.store(port);
    jack.input_open = true;
    return true;
}

void jack_input_close()
{
    if (!jack.input_open)
        return;
    jack.in_live.store(nullptr);
    jack.input_open = false;
    release_client();
}

bool jack_input_gone(const std::string& source_name)
{
    if (!jack.input_open)
        return false;
    if (jack.dead.load())
        return true;
    return !source_name.empty() && jack_port_by_name(jack.client, source_name.c_str()) == nullptr;
}
