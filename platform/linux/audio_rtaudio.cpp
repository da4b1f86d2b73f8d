// Audio capture from ALSA and PulseAudio devices through RtAudio: a loopback
// device or a monitor of the synthesizer's output. RtAudio's callback thread
// mixes the device's channels into one and copies them into a lock-free ring
// (JACK's, which the program links anyway); the main thread takes them from
// there.
#include "platform/linux/audio_linux.h"

#include <RtAudio.h>
#include <jack/ringbuffer.h>

#include <atomic>
#include <chrono>
#include <memory>

namespace {

constexpr size_t kRingBytes = size_t(1) << 23;  // 2 Mi samples
constexpr unsigned kMaxChannels = 2;            // a stereo device at most is mixed
constexpr unsigned kBufferFrames = 1024;         // per delivery: 23 ms at 44.1 kHz
const unsigned kRates[] = {44100, 48000};       // the rates asked for, in this order

int64_t now_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

struct RtCapture {
    std::unique_ptr<RtAudio> audio;          // the open stream's owner; empty while not capturing
    jack_ringbuffer_t* ring;                 // floats from the callback to the main thread
    unsigned channels;                       // interleaved channels delivered, 1..kMaxChannels
    double rate;                             // Hz
    std::atomic<uint64_t> frames;            // frames delivered so far
    std::atomic<int64_t> last_callback_ns;   // steady clock at the last delivery
} capture;

int on_input(void*, void* input, unsigned frames, double, RtAudioStreamStatus, void*)
{
    const float* in = static_cast<const float*>(input);
    for (unsigned i = 0; in != nullptr && i < frames; ++i) {
        float sum = 0.0f;
        for (unsigned c = 0; c < capture.channels; ++c)
            sum += in[i * capture.channels + c];
        float sample = sum / static_cast<float>(capture.channels);
        if (jack_ringbuffer_write(capture.ring, reinterpret_cast<const char*>(&sample), sizeof sample) == 0)
            break;
    }
    capture.frames.fetch_add(frames);
    capture.last_callback_ns.store(now_ns());
    return 0;
}

void list_api(RtAudio::Api api, std::vector<AudioSource>* sources)
{
    try {
        RtAudio audio(api);
        audio.showWarnings(false);
        unsigned count = audio.getDeviceCount();
        for (unsigned device = 0; device < count; ++device) {
            RtAudio::DeviceInfo info = audio.getDeviceInfo(device);
            if (info.probed && info.inputChannels > 0)
                sources->push_back(AudioSource{info.name, PLATFORM_AUDIO_DEVICE, device, static_cast<int>(api)});
        }
    } catch (const RtAudioError&) {
        // No such system here: nothing to list.
    }
}

}  // namespace

void rtaudio_list_sources(std::vector<AudioSource>* sources)
{
    list_api(RtAudio::LINUX_ALSA, sources);
    list_api(RtAudio::LINUX_PULSE, sources);
}

bool rtaudio_capture_open(const AudioSource& source, double* sample_rate)
{
    rtaudio_capture_close();
    try {
        capture.audio.reset(new RtAudio(static_cast<RtAudio::Api>(source.api)));
        capture.audio->showWarnings(false);
        RtAudio::DeviceInfo info = capture.audio->getDeviceInfo(source.device);
        RtAudio::StreamParameters input;
        input.deviceId = source.device;
        input.nChannels = info.inputChannels < kMaxChannels ? info.inputChannels : kMaxChannels;
        input.firstChannel = 0;
        capture.channels = input.nChannels;
        capture.ring = jack_ringbuffer_create(kRingBytes);
        capture.frames.store(0);
        capture.last_callback_ns.store(now_ns());
        for (unsigned rate : kRates) {
            try {
                unsigned frames = kBufferFrames;
                capture.audio->openStream(nullptr, &input, RTAUDIO_FLOAT32, rate, &frames, on_input, nullptr);
                capture.rate = rate;
                break;
            } catch (const RtAudioError&) {
            }
        }
        if (!capture.audio->isStreamOpen() || capture.ring == nullptr) {
            rtaudio_capture_close();
            return false;
        }
        capture.audio->startStream();
    } catch (const RtAudioError&) {
        rtaudio_capture_close();
        return false;
    }
    *sample_rate = capture.rate;
    return true;
}

jack_ringbuffer_t* rtaudio_capture_ring() { return capture.ring; }

uint64_t rtaudio_capture_position()
{
    // Frames delivered, plus the time since the last delivery (at most one
    // buffer's worth: the next delivery is then late, not the clock).
    double since = 1e-9 * static_cast<double>(now_ns() - capture.last_callback_ns.load()) * capture.rate;
    if (since > kBufferFrames)
        since = kBufferFrames;
    return capture.frames.load() + static_cast<uint64_t>(since > 0.0 ? since : 0.0);
}

void rtaudio_capture_close()
{
    if (capture.audio) {
        try {
            if (capture.audio->isStreamOpen())
                capture.audio->closeStream();
        } catch (const RtAudioError&) {
        }
        capture.audio.reset();
    }
    if (capture.ring != nullptr)
        jack_ringbuffer_free(capture.ring);
    capture.ring = nullptr;
}
