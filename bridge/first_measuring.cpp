// The first measuring of a SoundFont; see first_measuring.h.
#include "bridge/first_measuring.h"

#include "bridge/heard_tuning.h"

#include <algorithm>
#include <cstdint>
#include <system_error>
#include <thread>

namespace {

constexpr size_t kMostWorkers = 4;

// What the workers share: the presets, which are begun, and the results.
struct Work {
    SoundFontPresets presets;
    std::vector<int> banks, programs;   // of each preset
    std::mutex lock;                    // held while begun changes
    std::vector<bool> begun;            // a worker has taken the preset
    std::vector<PresetTuning> done;     // each preset's tuning, once worked out
    const std::atomic<bool>* stop;
    const MeasuringOrder* order;
    PresetMeasured measured;
    void* data;
    std::atomic<bool> stopped{false};
    std::atomic<size_t> finished{0};    // presets worked out

    bool stopping() const { return stopped.load() || (stop != nullptr && stop->load()); }

    // The preset this worker is to work out next, marked begun; SIZE_MAX when none is left.
    size_t take()
    {
        static const MeasuringOrder in_file_order;
        std::lock_guard<std::mutex> hold(lock);
        const size_t i = (order != nullptr ? order : &in_file_order)->next(banks, programs, begun);
        if (i != SIZE_MAX)
            begun[i] = true;
        return i;
    }
};

// One worker: presets one after another, with a renderer of its own.
void work(Work* w, const char* path)
{
    KeyRenderer* renderer = key_renderer_new(path);
    for (size_t i = w->take(); i != SIZE_MAX && !w->stopping(); i = w->take()) {
        PresetTuning& t = w->done[i];
        if (!w->presets.tuning(i, &t, w->stop) || (renderer != nullptr && !hear_preset(renderer, &t, w->stop))) {
            w->stopped = true;
            break;
        }
        if (w->measured != nullptr)
            w->measured(t, w->data);
        ++w->finished;
    }
    key_renderer_delete(renderer);
}

}  // namespace

void MeasuringOrder::ask(int bank, int program)
{
    if (bank < 0 || bank > 128 || program < 0 || program > 127)
        return;
    std::lock_guard<std::mutex> hold(lock_);
    asked_[bank][program] = ++asks_;
}

void MeasuringOrder::forget()
{
    std::lock_guard<std::mutex> hold(lock_);
    std::fill(&asked_[0][0], &asked_[0][0] + sizeof asked_ / sizeof asked_[0][0], uint64_t{0});
}

size_t MeasuringOrder::next(const std::vector<int>& banks, const std::vector<int>& programs,
                            const std::vector<bool>& begun) const
{
    std::lock_guard<std::mutex> hold(lock_);
    size_t best = SIZE_MAX;
    uint64_t best_asked = 0;
    for (size_t i = 0; i < begun.size(); ++i) {
        if (begun[i])
            continue;
        const uint64_t asked = asked_[std::clamp(banks[i], 0, 128)][std::clamp(programs[i], 0, 127)];
        if (best == SIZE_MAX || asked > best_asked) {
            best = i;
            best_asked = asked;
        }
    }
    return best;
}

bool measure_soundfont_in_order(const char* path, std::vector<PresetTuning>* tunings, const std::atomic<bool>* stop,
                                const MeasuringOrder* order, PresetMeasured measured, void* data)
{
    tunings->clear();
    Work w;
    if (!w.presets.open(path))
        return false;
    for (size_t i = 0; i < w.presets.count(); ++i) {
        w.banks.push_back(w.presets.bank(i));
        w.programs.push_back(w.presets.program(i));
    }
    w.begun.assign(w.presets.count(), false);
    w.done.resize(w.presets.count());
    w.stop = stop;
    w.order = order;
    w.measured = measured;
    w.data = data;

    // One worker per core, this thread one of them; threads start with this
    // one's priority.
    const size_t workers = std::clamp<size_t>(std::thread::hardware_concurrency(), 1, kMostWorkers);
    std::vector<std::thread> helpers;
    for (size_t worker = 1; worker < workers; ++worker) {
        try {
            helpers.emplace_back(work, &w, path);
        } catch (const std::system_error&) {
            break;  // fewer threads: the others take their presets
        }
    }
    work(&w, path);
    for (std::thread& helper : helpers)
        helper.join();
    // Told to stop only after the last preset was done, it is all there.
    if (w.finished.load() != w.done.size())
        return false;
    *tunings = std::move(w.done);
    return true;
}

bool measure_soundfont(const char* path, std::vector<PresetTuning>* tunings, const std::atomic<bool>* stop)
{
    return measure_soundfont_in_order(path, tunings, stop, nullptr, nullptr, nullptr);
}
