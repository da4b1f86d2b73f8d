// A JACK MIDI source for the end-to-end tests: client "midi-keys" with output
// port "out". Each line read from standard input holds one MIDI event as hex
// bytes ("90 3c 64"); events go out in the order read, in the next process
// cycle, several a cycle at increasing offsets. A line "sync" waits until
// every event read before it has gone out, then prints "sent". It ends at the
// end of its input, or on SIGTERM.
#include <jack/jack.h>
#include <jack/midiport.h>
#include <jack/ringbuffer.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

struct Event {
    uint32_t size;  // 1..3
    uint8_t bytes[3];
};

jack_client_t* client;
jack_port_t* port;
jack_ringbuffer_t* ring;
std::atomic<uint64_t> cycles_done{0};

int process(jack_nframes_t frames, void*)
{
    void* buffer = jack_port_get_buffer(port, frames);
    jack_midi_clear_buffer(buffer);
    Event e;
    for (jack_nframes_t offset = 0; offset < frames && jack_ringbuffer_read_space(ring) >= sizeof e; ++offset) {
        jack_ringbuffer_read(ring, reinterpret_cast<char*>(&e), sizeof e);
        jack_midi_event_write(buffer, offset, e.bytes, e.size);
    }
    cycles_done.fetch_add(1);
    return 0;
}

}  // namespace

int main()
{
    std::signal(SIGPIPE, SIG_IGN);
    jack_status_t status;
    client = jack_client_open("midi-keys", JackNoStartServer, &status);
    if (client == nullptr) {
        std::fprintf(stderr, "jack_send: no JACK server\n");
        return 2;
    }
    ring = jack_ringbuffer_create(1 << 16);
    port = jack_port_register(client, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    jack_set_process_callback(client, process, nullptr);
    if (port == nullptr || jack_activate(client) != 0) {
        std::fprintf(stderr, "jack_send: cannot register its port\n");
        return 2;
    }
    char line[256];
    while (std::fgets(line, sizeof line, stdin) != nullptr) {
        if (std::strncmp(line, "sync", 4) == 0) {
            while (jack_ringbuffer_read_space(ring) > 0)
                usleep(1000);
            const uint64_t seen = cycles_done.load();
            while (cycles_done.load() < seen + 2)
                usleep(1000);
            std::printf("sent\n");
            std::fflush(stdout);
            continue;
        }
        Event e = {0, {0, 0, 0}};
        unsigned value;
        int used;
        for (const char* p = line; e.size < 3 && std::sscanf(p, "%x%n", &value, &used) == 1; p += used)
            e.bytes[e.size++] = static_cast<uint8_t>(value);
        if (e.size == 0)
            continue;
        while (jack_ringbuffer_write_space(ring) < sizeof e)
            usleep(1000);
        jack_ringbuffer_write(ring, reinterpret_cast<const char*>(&e), sizeof e);
    }
    jack_deactivate(client);
    jack_client_close(client);
    return 0;
}
