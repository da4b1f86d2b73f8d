// Audio capture from JACK, on libjack: the client "Varenta-in" with one input
// port, "in", to which every port of the source is connected (JACK mixes
// them; the process callback scales the mix back by their number). The
// callback only copies samples into a lock-free ring; the main thread takes
// them from there.
#include "platform/linux/audio_linux.h"

#include <jack/jack.h>
#include <jack/ringbuffer.h>

#include <atomic>
#include <set>

namespace {

const char* const kClientName = "Varenta-in";
const char* const kPortName = "in";
constexpr size_t kRingBytes = size_t(1) << 23;  // 2 Mi samples: 47 s at 44.1 kHz

struct JackCapture {
    jack_client_t* client;                // nullptr while not capturing
    jack_port_t* port;                    // the input port "in"
    jack_ringbuffer_t* ring;              // floats from the callback to the main thread
    std::atomic<float> gain;              // 1 / number of source ports
    std::atomic<bool> started;            // the first cycle has run
    std::atomic<jack_nframes_t> first_frame;  // JACK's frame time of the first captured frame
} capture;

int process(jack_nframes_t frames, void*)
{
    const float* in = static_cast<const float*>(jack_port_get_buffer(capture.port, frames));
    if (!capture.started.load()) {
        capture.first_frame.store(jack_last_frame_time(capture.client));
        capture.started.store(true);
    }
    const float gain = capture.gain.load();
    for (jack_nframes_t i = 0; i < frames; ++i) {
        float sample = gain * in[i];
        // A full ring drops the newest samples; the main thread takes them
        // long before (it holds most of a minute).
        if (jack_ringbuffer_write(capture.ring, reinterpret_cast<const char*>(&sample), sizeof sample) == 0)
            break;
    }
    return 0;
}

void on_shutdown(void*) { capture.started.store(false); }

jack_client_t* open_client(const char* name)
{
    jack_status_t status;
    return jack_client_open(name, JackNoStartServer, &status);
}

}  // namespace

void jack_list_audio_sources(std::vector<AudioSource>* sources)
{
    jack_client_t* client = open_client(kClientName);
    if (client == nullptr)
        return;
    const char** names = jack_get_ports(client, nullptr, JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput);
    std::vector<AudioSource> ports;
    std::set<std::string> clients;
    for (const char** name = names; name != nullptr && *name != nullptr; ++name) {
        std::string port = *name;
        std::string owner = port.substr(0, port.find(':'));
        if (clients.insert(owner).second)
            sources->push_back(AudioSource{owner, PLATFORM_AUDIO_JACK_CLIENT, 0, 0});
        ports.push_back(AudioSource{port, PLATFORM_AUDIO_JACK_PORT, 0, 0});
    }
    jack_free(names);
    jack_client_close(client);
    sources->insert(sources->end(), ports.begin(), ports.end());
}

bool jack_capture_open(const AudioSource& source, double* sample_rate)
{
    jack_capture_close();
    capture.client = open_client(kClientName);
    if (capture.client == nullptr)
        return false;
    std::vector<std::string> from;
    const char** names = jack_get_ports(capture.client, nullptr, JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput);
    for (const char** name = names; name != nullptr && *name != nullptr; ++name) {
        std::string port = *name;
        bool wanted = source.kind == PLATFORM_AUDIO_JACK_PORT ? port == source.name
                                                              : port.compare(0, source.name.size() + 1, source.name + ":") == 0;
        if (wanted)
            from.push_back(port);
    }
    jack_free(names);
    capture.ring = jack_ringbuffer_create(kRingBytes);
    capture.port = jack_port_register(capture.client, kPortName, JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
    capture.gain.store(from.empty() ? 1.0f : 1.0f / static_cast<float>(from.size()));
    capture.started.store(false);
    bool ok = !from.empty() && capture.ring != nullptr && capture.port != nullptr;
    if (ok) {
        jack_set_process_callback(capture.client, process, nullptr);
        jack_on_shutdown(capture.client, on_shutdown, nullptr);
        ok = jack_activate(capture.client) == 0;
    }
    for (size_t i = 0; ok && i < from.size(); ++i)
        ok = jack_connect(capture.client, from[i].c_str(), jack_port_name(capture.port)) == 0;
    if (!ok) {
        jack_capture_close();
        return false;
    }
    *sample_rate = jack_get_sample_rate(capture.client);
    return true;
}

jack_ringbuffer_t* jack_capture_ring() { return capture.ring; }

uint64_t jack_capture_position()
{
    if (capture.client == nullptr || !capture.started.load())
        return 0;
    return static_cast<jack_nframes_t>(jack_frame_time(capture.client) - capture.first_frame.load());
}

void jack_capture_close()
{
    if (capture.client != nullptr) {
        jack_deactivate(capture.client);
        jack_client_close(capture.client);
    }
    if (capture.ring != nullptr)
        jack_ringbuffer_free(capture.ring);
    capture.client = nullptr;
    capture.port = nullptr;
    capture.ring = nullptr;
    capture.started.store(false);
}
