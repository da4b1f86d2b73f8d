// The sound being measured; see capture.h.
#include "hearing/capture.h"

#include "midi/bridge.h"
#include "platform/end_request.h"
#include "platform/platform.h"

#include <vector>

namespace {

constexpr uint32_t kPollMs = 5;             // a wait for more live samples
constexpr uint32_t kSilentSourceMs = 2000;  // a live source quiet this long has stopped
constexpr int kRenderBlock = 1024;          // frames rendered per call offline
constexpr size_t kReserveSeconds = 120;     // the buffer holds a whole measurement without growing

struct CaptureState {
    bool live;                  // a platform capture is open
    bool offline;               // the offline bridge is rendered instead
    double rate;                // Hz; 0 while neither
    std::vector<float> samples; // every frame since the start, mono
} capture = {false, false, 0.0, {}};

// Moves whatever the platform has captured into the buffer; true when any.
bool take_live()
{
    float block[4096];
    bool any = false;
    for (;;) {
        size_t got = platform_audio_take(block, sizeof block / sizeof block[0]);
        if (got == 0)
            return any;
        capture.samples.insert(capture.samples.end(), block, block + got);
        any = true;
    }
}

void render_offline(uint64_t frame)
{
    float left[kRenderBlock], right[kRenderBlock];
    while (capture.samples.size() < frame) {
        if (!bridge_render(kRenderBlock, left, right))
            throw CaptureStopped();
        for (int i = 0; i < kRenderBlock; ++i)
            capture.samples.push_back(0.5f * (left[i] + right[i]));
    }
}

}  // namespace

int capture_open_live(const char* source)
{
    capture_close();
    int result = platform_audio_open(source, &capture.rate);
    capture.live = result == PLATFORM_OK;
    if (capture.live)
        capture.samples.reserve(static_cast<size_t>(capture.rate) * kReserveSeconds);
    return result;
}

void capture_open_offline()
{
    capture_close();
    capture.offline = true;
    capture.rate = CAPTURE_OFFLINE_RATE;
    capture.samples.reserve(CAPTURE_OFFLINE_RATE * kReserveSeconds);
}

double capture_rate() { return capture.rate; }

uint64_t capture_position()
{
    if (capture.offline)
        return capture.samples.size();
    return capture.live ? platform_audio_position() : 0;
}

void capture_wait_until(uint64_t frame)
{
    if (capture.offline) {
        stop_if_asked();
        render_offline(frame);
        return;
    }
    uint32_t quiet_since = platform_clock_ms();
    while (capture.samples.size() < frame) {
        stop_if_asked();
        if (take_live()) {
            quiet_since = platform_clock_ms();
            continue;
        }
        if (platform_clock_ms() - quiet_since > kSilentSourceMs)
            throw CaptureStopped();
        platform_sleep_ms(kPollMs);
    }
}

const float* capture_samples(uint64_t frame) { return capture.samples.data() + frame; }

uint64_t capture_frames() { return capture.samples.size(); }

void capture_close()
{
    if (capture.live)
        platform_audio_close();
    capture.live = false;
    capture.offline = false;
    capture.rate = 0.0;
    capture.samples.clear();
}

void capture_reset()
{
    capture_close();
    capture.samples.shrink_to_fit();
}
