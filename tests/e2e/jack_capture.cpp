// A JACK MIDI capture client for the end-to-end tests: client "midi-monitor"
// with input port "input" (the names the tests look for in the device menu).
// It prints every event it receives, one per line, as
//   <microseconds>: <bytes in hex>
// the time being when its cycle ran, on JACK's (monotonic) clock, plus the
// event's offset in the cycle. Wall-clock time rather than frames: a server
// on the dummy driver falls behind its frame clock on a loaded machine. Unlike jack_midi_dump it
// keeps every event of a cycle however many there are, each whole (a system
// exclusive message is one line of all its bytes), and on SIGTERM or SIGINT
// it prints everything received before it ends. Events that could not be
// kept (its queue overflowed, or one longer than it keeps) are counted on
// stderr and make its exit status 1, so a test never mistakes its own loss
// for the program's.
// With --through it also has an output port "through" that passes every event
// on at the same frame of the same cycle, so a synthesizer connected to it
// hears exactly what was captured, the device's opening included.
#include <jack/jack.h>
#include <jack/midiport.h>
#include <jack/ringbuffer.h>

#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

// One event in the queue: this head, then its bytes.
struct EventHead {
    uint64_t usecs;
    uint64_t size;  // bytes that follow, 1..kLongestEvent
};
constexpr size_t kLongestEvent = 4096;

jack_client_t* client;
jack_port_t* port;
jack_port_t* through;  // nullptr without --through
jack_ringbuffer_t* ring;
std::atomic<uint64_t> lost{0};
volatile sig_atomic_t stop = 0;

int process(jack_nframes_t frames, void*)
{
    void* buffer = jack_port_get_buffer(port, frames);
    void* passed = through != nullptr ? jack_port_get_buffer(through, frames) : nullptr;
    if (passed != nullptr)
        jack_midi_clear_buffer(passed);
    const jack_time_t now = jack_get_time();
    const double usecs_per_frame = 1e6 / jack_get_sample_rate(client);
    uint32_t count = jack_midi_get_event_count(buffer);
    for (uint32_t i = 0; i < count; ++i) {
        jack_midi_event_t in;
        if (jack_midi_event_get(&in, buffer, i) != 0)
            continue;
        if (passed != nullptr && jack_midi_event_write(passed, in.time, in.buffer, in.size) != 0)
            lost.fetch_add(1);
        const EventHead head = {now + static_cast<uint64_t>(in.time * usecs_per_frame), in.size};
        if (in.size == 0 || in.size > kLongestEvent || jack_ringbuffer_write_space(ring) < sizeof head + in.size) {
            lost.fetch_add(1);
            continue;
        }
        // The printing thread waits for the whole event (see print_pending).
        jack_ringbuffer_write(ring, reinterpret_cast<const char*>(&head), sizeof head);
        jack_ringbuffer_write(ring, reinterpret_cast<const char*>(in.buffer), in.size);
    }
    return 0;
}

void print_pending()
{
    EventHead head;
    uint8_t bytes[kLongestEvent];
    while (jack_ringbuffer_read_space(ring) >= sizeof head) {
        jack_ringbuffer_peek(ring, reinterpret_cast<char*>(&head), sizeof head);
        if (jack_ringbuffer_read_space(ring) < sizeof head + head.size)
            break;  // its bytes are still being written
        jack_ringbuffer_read_advance(ring, sizeof head);
        jack_ringbuffer_read(ring, reinterpret_cast<char*>(bytes), head.size);
        std::printf("%llu:", static_cast<unsigned long long>(head.usecs));
        for (uint64_t i = 0; i < head.size; ++i)
            std::printf(" %02x", bytes[i]);
        std::printf("\n");
    }
    std::fflush(stdout);
}

void on_signal(int) { stop = 1; }

}  // namespace

int main(int argc, char** argv)
{
    const bool passing = argc == 2 && std::strcmp(argv[1], "--through") == 0;
    if (argc > 1 && !passing) {
        std::fprintf(stderr, "usage: jack_capture [--through]\n");
        return 2;
    }
    std::signal(SIGTERM, on_signal);
    std::signal(SIGINT, on_signal);
    jack_status_t status;
    client = jack_client_open("midi-monitor", JackNoStartServer, &status);
    if (client == nullptr) {
        std::fprintf(stderr, "jack_capture: no JACK server\n");
        return 2;
    }
    ring = jack_ringbuffer_create(1 << 24);  // 880 000 three-byte events
    port = jack_port_register(client, "input", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    if (passing)
        through = jack_port_register(client, "through", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    jack_set_process_callback(client, process, nullptr);
    if (port == nullptr || (passing && through == nullptr) || jack_activate(client) != 0) {
        std::fprintf(stderr, "jack_capture: cannot register its port\n");
        return 2;
    }
    while (!stop) {
        print_pending();
        usleep(2000);
    }
    jack_deactivate(client);
    print_pending();
    jack_client_close(client);
    if (lost.load() > 0) {
        std::fprintf(stderr, "jack_capture: lost %llu events\n", static_cast<unsigned long long>(lost.load()));
        return 1;
    }
    return 0;
}
