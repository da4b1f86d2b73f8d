// Offline pitch measurement through the real bridge library; see
// pitch_render.h.
#include "pitch_render.h"

#include "sine_soundfont.h"

#include "pitch/harmonic_pitch.h"

#include <dlfcn.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <stdexcept>

namespace {

constexpr int kCentreBend = 8192;
constexpr int kRenderBlock = 4096;  // frames per render call
constexpr double kLobeFloor = 0.05;  // a peak stands this far above its surroundings
constexpr double kNarrowCents = 1.0;  // the band then is the window's main lobe and no wider

size_t frame_at(double time_ms, int sample_rate)
{
    double frame = std::floor(time_ms * sample_rate / 1000.0 + 0.5);
    return frame <= 0.0 ? 0 : static_cast<size_t>(frame);
}

}  // namespace

OfflineBridge::OfflineBridge(const std::string& library_path)
{
    handle_ = dlopen(library_path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (handle_ == nullptr)
        throw std::runtime_error("cannot load the bridge library " + library_path);
    initialise_ = find<InitialiseFunction>("Sonvex_Initialise_SME");
    initialise_offline_ = find<InitialiseOfflineFunction>("Sonvex_TestOnly_InitialiseOffline");
    render_ = find<RenderFunction>("Sonvex_TestOnly_Render");
    send_ = find<SendFunction>("Sonvex_SendMidiEvent");
    cleanup_ = find<CleanUpFunction>("Sonvex_CleanUp_SME");
    set_tuning_cache_ = find<SetTuningCacheFunction>("Sonvex_TestOnly_SetTuningCache");
    tuned_presets_ = find<TunedPresetsFunction>("Sonvex_TestOnly_TunedPresets");
}

OfflineBridge::~OfflineBridge()
{
    cleanup_();
    dlclose(handle_);
}

template <class Function>
Function OfflineBridge::find(const char* name)
{
    void* address = dlsym(handle_, name);
    if (address == nullptr) {
        dlclose(handle_);
        throw std::runtime_error(std::string("the bridge library has no ") + name);
    }
    return reinterpret_cast<Function>(address);
}

bool OfflineBridge::start(const std::string& soundfont_path, int sample_rate, bool in_tune)
{
    return initialise_offline_(soundfont_path.c_str(), sample_rate, in_tune ? 1 : 0) != 0;
}

bool OfflineBridge::start_tuning_in_background(const std::string& soundfont_path, int sample_rate)
{
    return initialise_offline_(soundfont_path.c_str(), sample_rate, 2) != 0;
}

bool OfflineBridge::start_from_cache(const std::string& soundfont_path, int sample_rate)
{
    return initialise_offline_(soundfont_path.c_str(), sample_rate, 3) != 0;
}

void OfflineBridge::set_tuning_cache(const std::string& directory) { set_tuning_cache_(directory.c_str()); }

int OfflineBridge::tuned_presets() { return tuned_presets_(); }

int OfflineBridge::initialise() { return initialise_(); }

bool OfflineBridge::send(int status, int channel, int data1, int data2)
{
    return send_(status, channel, data1, data2) != 0;
}

bool OfflineBridge::render(size_t frames, std::vector<float>& mix)
{
    std::vector<float> left(kRenderBlock), right(kRenderBlock);
    while (frames > 0) {
        int block = static_cast<int>(std::min<size_t>(kRenderBlock, frames));
        if (render_(block, left.data(), right.data()) == 0)
            return false;
        for (int i = 0; i < block; ++i)
            mix.push_back(0.5f * (left[i] + right[i]));
        frames -= static_cast<size_t>(block);
    }
    return true;
}

void OfflineBridge::cleanup() { cleanup_(); }

void add_bend(std::vector<BridgeEvent>& events, double time_ms, int channel, int bend)
{
    events.push_back(BridgeEvent{time_ms, 0xE0, channel, bend & 0x7F, bend >> 7});
}

void add_note(std::vector<BridgeEvent>& events, double on_ms, double off_ms, int channel, int key, int bend)
{
    add_bend(events, on_ms, channel, bend);
    events.push_back(BridgeEvent{on_ms, 0x90, channel, key, 127});
    events.push_back(BridgeEvent{off_ms, 0x80, channel, key, 127});
}

std::vector<BridgeEvent> bridge_events(const std::vector<FakeMessage>& log)
{
    std::vector<BridgeEvent> events;
    for (const FakeMessage& m : log) {
        if (m.route == FakeRoute::Bridge)
            events.push_back(BridgeEvent{static_cast<double>(m.time_ms), m.status, m.channel, m.data1, m.data2});
    }
    return events;
}

double measure_frequency(const float* samples, size_t count, double sample_rate, double guess_hz,
                         double search_cents, double* amplitude)
{
    // Found in the range, then read again from a band just wide enough for
    // the window's main lobe (the estimator's narrowest), where other notes
    // still sounding leave the least.
    const double found_hz =
        measure_fundamental(samples, count, sample_rate, guess_hz, search_cents, 1, amplitude, kLobeFloor);
    if (std::isnan(found_hz))
        return found_hz;
    return measure_fundamental(samples, count, sample_rate, found_hz, kNarrowCents, 1, amplitude, kLobeFloor);
}

std::vector<MeasuredNote> render_and_measure(const std::vector<BridgeEvent>& events,
                                             const RenderSettings& settings)
{
    std::vector<BridgeEvent> ordered = events;
    std::stable_sort(ordered.begin(), ordered.end(),
                     [](const BridgeEvent& x, const BridgeEvent& y) { return x.time_ms < y.time_ms; });

    // The notes and, per note, until when its pitch stays put.
    struct Note {
        MeasuredNote result;
        double steady_from_ms;
        double steady_until_ms;  // infinity while open
        bool released;
    };
    std::vector<Note> notes;
    std::map<int, int> bends;  // channel -> current bend
    const double open = std::numeric_limits<double>::infinity();
    for (const BridgeEvent& e : ordered) {
        const int status = e.status;
        if (status == 0xE0) {
            int bend = (e.data1 & 0x7F) | ((e.data2 & 0x7F) << 7);
            for (Note& n : notes) {
                if (n.result.channel == e.channel && n.steady_until_ms == open)
                    n.steady_until_ms = e.time_ms;  // a new bend moves every note sounding there
            }
            bends[e.channel] = bend;
        } else if (status == 0x90 && e.data2 > 0) {
            auto bend = bends.find(e.channel);
            MeasuredNote m{};
            m.channel = e.channel;
            m.key = e.data1;
            m.velocity = e.data2;
            m.bend = bend == bends.end() ? kCentreBend : bend->second;
            m.on_ms = e.time_ms;
            m.off_ms = open;
            m.frequency_hz = std::numeric_limits<double>::quiet_NaN();
            m.remeasured_hz = std::numeric_limits<double>::quiet_NaN();
            notes.push_back(Note{m, e.time_ms, open, false});
        } else if (status == 0x80 || status == 0x90) {
            for (Note& n : notes) {  // the earliest unreleased note of that key
                if (!n.released && n.result.channel == e.channel && n.result.key == e.data1) {
                    n.released = true;
                    n.result.off_ms = e.time_ms;
                    n.steady_until_ms = std::min(n.steady_until_ms, e.time_ms);
                    break;
                }
            }
        }
    }

    OfflineBridge bridge(settings.library_path);
    bridge.set_tuning_cache(settings.tuning_cache);
    if (!bridge.start(settings.soundfont_path, settings.sample_rate, settings.in_tune))
        throw std::runtime_error("the bridge library did not start with " + settings.soundfont_path);
    std::vector<float> mix;
    auto render_until = [&](double time_ms) {
        size_t frame = frame_at(time_ms, settings.sample_rate);
        if (frame > mix.size() && !bridge.render(frame - mix.size(), mix))
            throw std::runtime_error("the bridge library did not render");
    };
    for (const BridgeEvent& e : ordered) {
        render_until(e.time_ms);
        bridge.send(e.status, e.channel, e.data1, e.data2);
    }
    const double end_ms = (ordered.empty() ? 0.0 : ordered.back().time_ms) + settings.tail_ms;
    render_until(end_ms);

    std::vector<MeasuredNote> measured;
    for (Note& n : notes) {
        MeasuredNote& m = n.result;
        m.off_ms = std::min(m.off_ms, end_ms);
        const size_t index = measured.size();
        double from = n.steady_from_ms +
                      (index < settings.note_settle_ms.size() ? settings.note_settle_ms[index] : settings.settle_ms);
        double until = std::min({n.steady_until_ms, end_ms}) - settings.margin_ms;
        until = std::min(until, from + settings.max_window_ms);
        if (until > from) {
            size_t first = frame_at(from, settings.sample_rate);
            size_t last = std::min(frame_at(until, settings.sample_rate), mix.size());
            if (last > first) {
                m.window_ms = (until - from);
                double nominal =
                    SINE_ROOT_HZ * std::pow(2.0, (m.key - SINE_ROOT_KEY + (m.bend - kCentreBend) / 4096.0) / 12.0);
                auto measure = [&](size_t from_frame, double* amplitude) {
                    const float* window = mix.data() + from_frame;
                    return settings.harmonics == 1
                               ? measure_frequency(window, last - from_frame, settings.sample_rate, nominal,
                                                   settings.search_cents, amplitude)
                               : measure_fundamental(window, last - from_frame, settings.sample_rate, nominal,
                                                     settings.search_cents, settings.harmonics, amplitude,
                                                     settings.clear_ratio);
                };
                m.frequency_hz = measure(first, &m.amplitude);
                const size_t later = frame_at(from + settings.remeasure_after_ms, settings.sample_rate);
                if (settings.remeasure_after_ms > 0.0 && later < last) {
                    double amplitude = 0.0;
                    m.remeasured_hz = measure(later, &amplitude);
                }
            }
        }
        measured.push_back(m);
    }
    return measured;
}

double measure_fundamental(const float* samples, size_t count, double sample_rate, double guess_hz,
                           double search_cents, int harmonics, double* amplitude, double clear_ratio)
{
    const HarmonicPitch pitch =
        harmonic_pitch(samples, count, sample_rate, guess_hz, search_cents, harmonics, clear_ratio);
    if (amplitude != nullptr)
        *amplitude = pitch.amplitude;
    return pitch.frequency_hz;
}

double fluidsynth_pitch_hz(int key, int bend, double range_cents, double raise_cents)
{
    double pitch_cents = 100.0 * key + raise_cents + range_cents * (bend - kCentreBend) / 8192.0;
    return SINE_ROOT_HZ * std::pow(2.0, (std::floor(pitch_cents) - 100.0 * SINE_ROOT_KEY) / 1200.0);
}

double bridge_pitch_hz(int key, int bend) { return fluidsynth_pitch_hz(key, bend, 200.0, BRIDGE_RAISE_CENTS); }

double cents_above(double hz, double reference_hz) { return 1200.0 * std::log2(hz / reference_hz); }
