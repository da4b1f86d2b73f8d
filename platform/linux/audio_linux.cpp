// Audio capture on Linux: JACK's clients and ports first (while a server
// runs), then the ALSA and PulseAudio capture devices RtAudio lists. A source
// is found by its listed name.
#include "platform/linux/audio_linux.h"
#include "platform/linux/midi_linux.h"
#include "platform/posix/quiet_stderr.h"

#include <cstring>

namespace {

enum CaptureBackend { CAPTURE_NONE, CAPTURE_JACK, CAPTURE_RTAUDIO };

struct AudioState {
    std::vector<AudioSource> sources;  // the last listing
    CaptureBackend open;               // the backend capturing now
} audio = {{}, CAPTURE_NONE};

void list_sources()
{
    silence_midi_libraries();  // the same libraries, the same diagnostics
    QuietStderr quiet;
    audio.sources.clear();
    jack_list_audio_sources(&audio.sources);
    rtaudio_list_sources(&audio.sources);
}

}  // namespace

int platform_audio_source_count()
{
    list_sources();
    return static_cast<int>(audio.sources.size());
}

bool platform_audio_source_name(int index, char* buffer, int length, PlatformAudioKind* kind)
{
    if (length >= 1)
        buffer[0] = '\0';
    if (index < 0 || index >= static_cast<int>(audio.sources.size()))
        return false;
    const AudioSource& source = audio.sources[static_cast<size_t>(index)];
    if (length >= 1) {
        size_t n = source.name.size() < static_cast<size_t>(length - 1) ? source.name.size() : static_cast<size_t>(length - 1);
        std::memcpy(buffer, source.name.data(), n);
        buffer[n] = '\0';
    }
    *kind = source.kind;
    return true;
}

int platform_audio_open(const char* name, double* sample_rate)
{
    platform_audio_close();
    list_sources();
    for (const AudioSource& source : audio.sources) {
        if (source.name != name)
            continue;
        QuietStderr quiet;
        bool jack = source.kind != PLATFORM_AUDIO_DEVICE;
        bool opened = jack ? jack_capture_open(source, sample_rate) : rtaudio_capture_open(source, sample_rate);
        if (!opened)
            return PLATFORM_AUDIO_FAILED;
        audio.open = jack ? CAPTURE_JACK : CAPTURE_RTAUDIO;
        return PLATFORM_OK;
    }
    return PLATFORM_AUDIO_NO_SOURCE;
}

size_t platform_audio_take(float* buffer, size_t capacity)
{
    jack_ringbuffer_t* ring = audio.open == CAPTURE_JACK      ? jack_capture_ring()
                              : audio.open == CAPTURE_RTAUDIO ? rtaudio_capture_ring()
                                                              : nullptr;
    if (ring == nullptr)
        return 0;
    size_t available = jack_ringbuffer_read_space(ring) / sizeof(float);
    size_t count = available < capacity ? available : capacity;
    jack_ringbuffer_read(ring, reinterpret_cast<char*>(buffer), count * sizeof(float));
    return count;
}

uint64_t platform_audio_position()
{
    switch (audio.open) {
    case CAPTURE_JACK:
        return jack_capture_position();
    case CAPTURE_RTAUDIO:
        return rtaudio_capture_position();
    default:
        return 0;
    }
}

void platform_audio_close()
{
    if (audio.open == CAPTURE_JACK)
        jack_capture_close();
    else if (audio.open == CAPTURE_RTAUDIO)
        rtaudio_capture_close();
    audio.open = CAPTURE_NONE;
}
