// MIDI output to JACK, written directly on libjack so that no message is
// ever lost: the program's thread puts each message, stamped with JACK's
// frame clock, into a lock-free ring buffer; the process callback moves them
// into the port's buffer one period after they were sent, keeping their
// spacing, and carries whatever does not fit one cycle over to the next.
// Sending waits for room when the ring is full; closing waits until the ring
// is empty and the last events have left the port. A server that stops
// (shutdown) makes sending silent; one that stops answering is given up on
// after a bounded wait, so the program never hangs on it.
#include "platform/linux/midi_linux.h"

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
const char* const kPortName = "out";

// One queued message: 8 bytes, so the ring always holds whole records.
struct Record {
    jack_nframes_t frame;  // JACK's frame clock when it was sent
    uint8_t size;          // 1..3
    uint8_t bytes[3];
};
static_assert(sizeof(Record) == 8, "records fill the ring exactly");

constexpr size_t kRingBytes = 1 << 17;          // 16384 messages
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

struct JackOutput {
    jack_client_t* client;          // the "Varenta" client
    jack_port_t* port;              // its "out" port
    jack_ringbuffer_t* ring;        // Records from the program's thread to the process callback
    std::atomic<bool> dead;         // the server has shut the client down
    std::atomic<bool> stalled;      // a wait for room timed out: the server does not answer
    std::atomic<uint32_t> cycles;   // process cycles run so far
    std::atomic<bool> waiting;      // the program's thread waits for the next cycle
    sem_t cycle_done;               // posted after a cycle while someone waits
    JackOutput* next_open;          // the list of outputs still open, for the exit
};

namespace {

struct JackState {
    JackOutput* open_outputs;  // outputs not yet closed; drained at exit
    JackOutput* abandoned;     // closed while their server did not answer; never freed
    bool exit_hook;            // the exit hook is installed
} jack = {nullptr, nullptr, false};

// The process callback: real-time, so no locks, no allocation, no waiting.
int process(jack_nframes_t frames, void* arg)
{
    JackOutput* out = static_cast<JackOutput*>(arg);
    void* buffer = jack_port_get_buffer(out->port, frames);
    jack_midi_clear_buffer(buffer);
    const jack_nframes_t cycle_start = jack_last_frame_time(out->client);
    jack_nframes_t last_offset = 0;
    Record record;
    while (jack_ringbuffer_read_space(out->ring) >= sizeof record) {
        jack_ringbuffer_peek(out->ring, reinterpret_cast<char*>(&record), sizeof record);
        // Due one period after it was sent, which keeps the spacing of
        // messages sent at different times within a cycle.
        int32_t due = static_cast<int32_t>(record.frame + frames - cycle_start);
        if (due >= static_cast<int32_t>(frames) && due < 2 * static_cast<int32_t>(frames))
            break;  // sent during the cycle that is running: its turn comes next
        if (due >= static_cast<int32_t>(frames))
            due = static_cast<int32_t>(frames) - 1;  // a clock estimate running ahead of late cycles: now
        jack_nframes_t offset = due < static_cast<int32_t>(last_offset) ? last_offset : static_cast<jack_nframes_t>(due);
        jack_midi_data_t* data = jack_midi_event_reserve(buffer, offset, record.size);
        if (data == nullptr)
            break;  // the port's buffer is full this cycle: the rest waits for the next
        std::memcpy(data, record.bytes, record.size);
        last_offset = offset;
        jack_ringbuffer_read_advance(out->ring, sizeof record);
    }
    out->cycles.fetch_add(1);
    if (out->waiting.load())
        sem_post(&out->cycle_done);
    return 0;
}

void on_shutdown(void* arg)
{
    JackOutput* out = static_cast<JackOutput*>(arg);
    out->dead.store(true);
    sem_post(&out->cycle_done);
}

// Waits for the next process cycle, at most kWaitStepMs.
void wait_for_cycle(JackOutput* out)
{
    out->waiting.store(true);
    timespec until;
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_nsec += kWaitStepMs * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_nsec -= 1000000000L;
        ++until.tv_sec;
    }
    while (sem_timedwait(&out->cycle_done, &until) != 0 && errno == EINTR) {
    }
    out->waiting.store(false);
}

// Waits until cycles have run past `cycle`; false when the server is gone or
// does not answer within deadline_ms (a monotonic reading).
bool wait_for_cycles_past(JackOutput* out, uint32_t cycle, long deadline_ms)
{
    while (static_cast<int32_t>(out->cycles.load() - cycle) <= 0) {
        if (out->dead.load() || now_ms() > deadline_ms)
            return false;
        wait_for_cycle(out);
    }
    return true;
}

// Waits until every queued message has been handed to the port and the
// cycles that carried the last of them are over. False when that could not
// be seen within the bound.
bool drain(JackOutput* out)
{
    const long deadline = now_ms() + kCloseDrainMs;
    while (jack_ringbuffer_read_space(out->ring) > 0) {
        if (out->dead.load() || now_ms() > deadline)
            return false;
        wait_for_cycle(out);
    }
    // The cycle that took the last record may not have counted itself yet;
    // two more make sure the port's readers have had it.
    return wait_for_cycles_past(out, out->cycles.load() + 1, deadline);
}

void unlist(JackOutput* out)
{
    for (JackOutput** p = &jack.open_outputs; *p != nullptr; p = &(*p)->next_open) {
        if (*p == out) {
            *p = out->next_open;
            return;
        }
    }
}

void close_output(JackOutput* out)
{
    unlist(out);
    if (!drain(out) && !out->dead.load()) {
        // A server that no longer answers could hold a close request for
        // ever: its client, still running our callback, is left as it is
        // until the process ends.
        out->next_open = jack.abandoned;
        jack.abandoned = out;
        return;
    }
    jack_deactivate(out->client);
    jack_client_close(out->client);
    jack_ringbuffer_free(out->ring);
    sem_destroy(&out->cycle_done);
    delete out;
}

// Ports a failure path left open still deliver what was sent to them.
void close_open_outputs_at_exit()
{
    while (jack.open_outputs != nullptr)
        close_output(jack.open_outputs);
}

jack_client_t* open_client()
{
    jack_status_t status;
    return jack_client_open(kClientName, JackNoStartServer, &status);
}

}  // namespace

void jack_list_ports(std::vector<LinuxPort>* ports)
{
    jack_client_t* client = open_client();
    if (client == nullptr)
        return;
    const char** names = jack_get_ports(client, nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput);
    for (const char** name = names; name != nullptr && *name != nullptr; ++name)
        ports->push_back(LinuxPort{*name, false, 0u});
    jack_free(names);
    jack_client_close(client);
}

JackOutput* jack_output_open(const std::string& port_name)
{
    jack_client_t* client = open_client();
    if (client == nullptr)
        return nullptr;
    JackOutput* out = new JackOutput;
    out->client = client;
    out->port = nullptr;
    out->ring = jack_ringbuffer_create(kRingBytes);
    out->dead.store(false);
    out->stalled.store(false);
    out->cycles.store(0);
    out->waiting.store(false);
    out->next_open = nullptr;
    sem_init(&out->cycle_done, 0, 0);

    bool ok = out->ring != nullptr;
    if (ok) {
        out->port = jack_port_register(client, kPortName, JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
        ok = out->port != nullptr;
    }
    if (ok) {
        jack_set_process_callback(client, process, out);
        jack_on_shutdown(client, on_shutdown, out);
        ok = jack_activate(client) == 0 && jack_connect(client, jack_port_name(out->port), port_name.c_str()) == 0;
    }
    if (ok) {
        // Messages sent before the connection is part of the graph would
        // reach nobody: wait until it has carried a cycle.
        const long deadline = now_ms() + kConnectWaitMs;
        while (jack_port_connected(out->port) == 0 && now_ms() < deadline && !out->dead.load())
            wait_for_cycle(out);
        ok = jack_port_connected(out->port) > 0 && wait_for_cycles_past(out, out->cycles.load() + 1, deadline);
    }
    if (!ok) {
        jack_client_close(client);
        if (out->ring != nullptr)
            jack_ringbuffer_free(out->ring);
        sem_destroy(&out->cycle_done);
        delete out;
        return nullptr;
    }
    out->next_open = jack.open_outputs;
    jack.open_outputs = out;
    if (!jack.exit_hook) {
        jack.exit_hook = true;
        std::atexit(close_open_outputs_at_exit);
    }
    return out;
}

void jack_output_send(JackOutput* out, const unsigned char* bytes, size_t size)
{
    if (out->dead.load() || size == 0 || size > 3)
        return;
    Record record = {jack_frame_time(out->client), static_cast<uint8_t>(size), {0, 0, 0}};
    std::memcpy(record.bytes, bytes, size);
    if (jack_ringbuffer_write_space(out->ring) < sizeof record) {
        // A full ring waits for the process callback to make room, unless the
        // server has already shown that it does not answer.
        if (out->stalled.load())
            return;
        const long deadline = now_ms() + kSendPatienceMs;
        while (jack_ringbuffer_write_space(out->ring) < sizeof record) {
            if (out->dead.load())
                return;
            if (now_ms() > deadline) {
                out->stalled.store(true);
                return;
            }
            wait_for_cycle(out);
        }
    }
    out->stalled.store(false);
    jack_ringbuffer_write(out->ring, reinterpret_cast<const char*>(&record), sizeof record);
}

void jack_output_close(JackOutput* out) { close_output(out); }
