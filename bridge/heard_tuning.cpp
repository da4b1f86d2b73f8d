// A SoundFont's looped keys, measured as FluidSynth plays them; see
// heard_tuning.h.
#include "bridge/heard_tuning.h"

#include <fluidsynth.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

constexpr int kSampleRate = 44100;
constexpr int kVelocity = 127;  // as the sample data is tuned for
// A correction beyond this is rendered again, applied (verified()), and kept
// only when every reading of the key then lies within kVerifiedCents:
// whole-cent rounding and the measurement's own spread.
constexpr double kTrustedOffsetCents = 1.0;
constexpr double kVerifiedCents = 0.5 + RENDERED_AGREEMENT_CENTS;
constexpr size_t kVerifyDelayFrames = 1000;  // 15 blocks and 40 frames: another point of a block
constexpr double kReachedMarginSeconds = 0.05;  // after the loop is reached, its first cycles blend in

}  // namespace

// A FluidSynth of its own that renders one preset's notes dry, loading only
// the samples of the preset it plays.
struct KeyRenderer {
    explicit KeyRenderer(const char* path)
    {
        settings_ = new_fluid_settings();
        if (settings_ == nullptr)
            return;
        fluid_settings_setnum(settings_, "synth.sample-rate", kSampleRate);
        fluid_settings_setint(settings_, "synth.chorus.active", 0);
        fluid_settings_setint(settings_, "synth.reverb.active", 0);
        fluid_settings_setint(settings_, "synth.dynamic-sample-loading", 1);
        synth_ = new_fluid_synth(settings_);
        if (synth_ == nullptr)
            return;
        // Played untuned, FluidSynth works a key's pitch out in single
        // precision from a sample's root pitch and cuts it to whole cents, so
        // a sample with a pitch correction can lose a whole cent at one key
        // and not the next. Under a key tuning the key's pitch is the
        // table's: equal temperament raised as the bridge raises it, cut to
        // exactly the key, is what the tunings worked out here are applied
        // to. A pitch a vibrato or an envelope sweeps is cut at every step,
        // so that it sounds half a cent under its mean; the same raise
        // centres it there too.
        double reference[SOUNDFONT_KEYS];
        for (int key = 0; key < SOUNDFONT_KEYS; ++key)
            reference[key] = 100.0 * key + TRUNCATION_RAISE_CENTS;
        if (fluid_synth_activate_key_tuning(synth_, 0, kReference, "reference", reference, 0) == FLUID_OK &&
            fluid_synth_activate_key_tuning(synth_, 0, kTrial, "trial", reference, 0) == FLUID_OK &&
            fluid_synth_activate_tuning(synth_, 0, 0, kReference, 0) == FLUID_OK)
            soundfont_ = fluid_synth_sfload(synth_, path, 0);
    }
    ~KeyRenderer()
    {
        if (synth_ != nullptr)
            delete_fluid_synth(synth_);
        if (settings_ != nullptr)
            delete_fluid_settings(settings_);
    }
    KeyRenderer(const KeyRenderer&) = delete;
    KeyRenderer& operator=(const KeyRenderer&) = delete;

    bool loaded() const { return synth_ != nullptr && soundfont_ != FLUID_FAILED; }

    bool select(int bank, int program)
    {
        return fluid_synth_program_select(synth_, 0, soundfont_, bank, program) == FLUID_OK;
    }

    // Plays key at cents (above MIDI key 0, before FluidSynth's cut to whole
    // cents) from now on, where NaN gives it back its reference pitch.
    void retune(int key, double cents)
    {
        if (std::isnan(cents)) {
            fluid_synth_activate_tuning(synth_, 0, 0, kReference, 0);
            return;
        }
        fluid_synth_tune_notes(synth_, 0, kTrial, 1, &key, &cents, 0);
        fluid_synth_activate_tuning(synth_, 0, 0, kTrial, 0);
    }

    // The first frames of key held on its own, left and right summed, started
    // delay frames after the start of one of FluidSynth's blocks: where a
    // note starts within a block moves its pitch reading a little, and a
    // renderer works out presets in whatever order the first measuring hands
    // them over, so every note starts at the same point whatever came before.
    const std::vector<float>& note(int key, size_t frames, size_t delay)
    {
        const size_t lead = (kBlockFrames - rendered_frames_ % kBlockFrames) % kBlockFrames + delay;
        // FluidSynth writes every frame asked for: the buffers need no clearing.
        left_.resize(std::max(frames, lead));
        right_.resize(left_.size());
        fluid_synth_write_float(synth_, static_cast<int>(lead), left_.data(), 0, 1, right_.data(), 0, 1);
        left_.resize(frames);
        right_.resize(frames);
        fluid_synth_noteon(synth_, 0, key, kVelocity);
        fluid_synth_write_float(synth_, static_cast<int>(frames), left_.data(), 0, 1, right_.data(), 0, 1);
        fluid_synth_all_sounds_off(synth_, 0);
        rendered_frames_ += lead + frames;
        for (size_t n = 0; n < frames; ++n)
            left_[n] += right_[n];
        return left_;
    }

private:
    static constexpr int kReference = 0, kTrial = 1;  // tuning programs of tuning bank 0
    static constexpr size_t kBlockFrames = 64;         // FluidSynth renders in blocks of this many frames
    uint64_t rendered_frames_ = 0;                     // since the synthesizer was made
    fluid_settings_t* settings_ = nullptr;
    fluid_synth_t* synth_ = nullptr;
    int soundfont_ = FLUID_FAILED;
    std::vector<float> left_, right_;
};

namespace {

// A held key's two readings: its offset above its equal-tempered pitch over
// the whole window and over its last three quarters (NaN where none stands
// clear).
struct Readings {
    double whole;
    double late;

    // How far apart they lie; NaN when either is.
    double spread() const { return std::fabs(whole - late); }
    // Whether both lie within cents of the pitch asked for.
    bool within(double cents) const { return std::fabs(whole) <= cents && std::fabs(late) <= cents; }
};

// The readings of key held (its loop reached after reached_seconds), started
// delay frames from now.
Readings rendered_readings(KeyRenderer& renderer, int key, double reached_seconds, size_t delay = 0)
{
    const double settle = std::max(reached_seconds + kReachedMarginSeconds, RENDERED_SETTLE_MIN_SECONDS);
    const size_t first = static_cast<size_t>(settle * kSampleRate);
    const size_t window = static_cast<size_t>(RENDERED_WINDOW_SECONDS * kSampleRate);
    const std::vector<float>& sound = renderer.note(key, first + window, delay);
    const double stated = 100.0 * key;
    return Readings{pitch_offset_cents(sound.data() + first, window, kSampleRate, stated),
                    pitch_offset_cents(sound.data() + first + window / 4, window - window / 4, kSampleRate, stated)};
}

// Whether key of t is one the rendering settles: it loops, reaches its loop
// in time, and its pitch follows the key; one whose loops hold a single cycle
// each is settled by the sample data already.
bool renderable(const PresetTuning& t, int key)
{
    return t.sounding[key] && t.looped[key] && t.pitch_follows_key[key] && !t.single_cycle[key] &&
           t.loop_reached_seconds[key] + kReachedMarginSeconds <= RENDERED_SETTLE_MAX_SECONDS;
}

// Whether key of t, corrected for offset_cents, is heard where it is asked
// for: every reading of it, rendered applied, within kVerifiedCents; twice,
// the second time started at another point of FluidSynth's 64-frame blocks.
// A correction of more than kTrustedOffsetCents, or one read from a held
// pitch that wanders, is kept only so: here it shows whether it still lands,
// also where the loop sounds otherwise at another playback rate.
bool verified(KeyRenderer& renderer, const PresetTuning& t, int key, double offset_cents)
{
    renderer.retune(key, 100.0 * key - offset_cents + TRUNCATION_RAISE_CENTS);
    bool landed = true;
    for (size_t delay : {size_t{0}, kVerifyDelayFrames})
        landed = landed && rendered_readings(renderer, key, t.loop_reached_seconds[key], delay).within(kVerifiedCents);
    renderer.retune(key, std::nan(""));
    return landed;
}

// The offset key of t is corrected for, as rendered; NaN where it is left
// as stated. Readings that agree to within RENDERED_AGREEMENT_CENTS are
// taken for a correction of up to kTrustedOffsetCents as they stand; a
// larger correction, or readings up to RENDERED_VERIFIED_AGREEMENT_CENTS
// apart that lie more than half a cent off, only where every reading of the
// key corrected then lands.
double heard_offset(KeyRenderer& renderer, const PresetTuning& t, int key)
{
    const Readings readings = rendered_readings(renderer, key, t.loop_reached_seconds[key]);
    const double offset = readings.whole;
    // NaN fails every comparison.
    if (!(std::fabs(offset) <= LOOP_OFFSET_LIMIT_CENTS) || !(readings.spread() <= RENDERED_VERIFIED_AGREEMENT_CENTS))
        return std::nan("");
    if (readings.spread() <= RENDERED_AGREEMENT_CENTS) {
        if (std::fabs(offset) <= kTrustedOffsetCents)
            return offset;
    } else if (std::fabs(offset) < TRUNCATION_RAISE_CENTS) {
        return std::nan("");  // no whole-cent step brings it nearer
    }
    return verified(renderer, t, key, offset) ? offset : std::nan("");
}

}  // namespace

KeyRenderer* key_renderer_new(const char* path)
{
    KeyRenderer* renderer = new KeyRenderer(path);
    if (!renderer->loaded()) {
        delete renderer;
        return nullptr;
    }
    return renderer;
}

void key_renderer_delete(KeyRenderer* renderer) { delete renderer; }

bool hear_preset(KeyRenderer* renderer, PresetTuning* t, const std::atomic<bool>* stop)
{
    if (t->bank != 0 || !renderer->select(t->bank, t->program))
        return stop == nullptr || !stop->load();
    for (int key = 0; key < SOUNDFONT_KEYS; ++key) {
        if (stop != nullptr && stop->load())
            return false;
        if (!renderable(*t, key))
            continue;
        const double offset = heard_offset(*renderer, *t, key);
        if (std::isnan(offset))
            continue;
        t->offset_cents[key] = offset;
        t->corrected[key] = true;
        t->heard[key] = true;
    }
    return true;
}
