// How far a SoundFont's samples sound from their stated pitch; see
// soundfont_pitch.h.
//
// The "pdta" list is read record by record with every index checked against
// its table, and every sample's frames against the "smpl" chunk, so that any
// byte string, cut short or garbled, gives either tunings or false, never a
// read outside the bytes given.
#include "bridge/soundfont_pitch.h"

#include "pitch/harmonic_pitch.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <tuple>
#include <type_traits>
#include <utility>

namespace {

// Generator operators this parser reads (SoundFont 2.04, section 8.1.2).
enum Generator {
    GEN_START_OFFSET = 0,
    GEN_END_OFFSET = 1,
    GEN_LOOP_START_OFFSET = 2,
    GEN_LOOP_END_OFFSET = 3,
    GEN_START_COARSE_OFFSET = 4,
    GEN_MOD_LFO_TO_PITCH = 5,
    GEN_VIB_LFO_TO_PITCH = 6,
    GEN_MOD_ENV_TO_PITCH = 7,
    GEN_END_COARSE_OFFSET = 12,
    GEN_INSTRUMENT = 41,
    GEN_KEY_RANGE = 43,
    GEN_VELOCITY_RANGE = 44,
    GEN_LOOP_START_COARSE_OFFSET = 45,
    GEN_KEYNUM = 46,
    GEN_ATTENUATION = 48,
    GEN_LOOP_END_COARSE_OFFSET = 50,
    GEN_COARSE_TUNE = 51,
    GEN_FINE_TUNE = 52,
    GEN_SAMPLE_ID = 53,
    GEN_SAMPLE_MODES = 54,
    GEN_SCALE_TUNING = 56,
    GEN_ROOT_KEY = 58,
    GEN_COUNT = 61,
};

// Record sizes of the pdta tables, in bytes.
constexpr size_t kPresetHeaderBytes = 38;
constexpr size_t kBagBytes = 4;
constexpr size_t kGeneratorBytes = 4;
constexpr size_t kInstrumentBytes = 22;
constexpr size_t kSampleHeaderBytes = 46;

constexpr int kPercussionBank = 128;
constexpr int kTunedVelocity = 127;
constexpr uint16_t kRomSample = 0x8000;  // sample type bit: in the synthesizer's ROM, not in the file
constexpr int kUnpitchedRootKey = 60;    // what a sample stating no pitch (255) plays as
constexpr uint32_t kCoarseOffsetFrames = 32768;
constexpr size_t kMaxPdtaBytes = 64u << 20;         // larger lists are taken as damage
// What a key left as stated is moved by: nothing, but for a millionth of a
// cent that keeps FluidSynth's cut to whole cents where it was untuned
// despite the rounding of the tuning's arithmetic.
constexpr double kUnchangedCents = 1e-6;
constexpr double kSearchCents = 60.0;  // a sample's harmonics are looked for this far around their stated pitch
constexpr int64_t kLoopMargin = 8;  // frames the format asks for either side of a loop
const double kLoopWindowSeconds[] = {1.0, 2.0, 4.0};  // a held loop is measured over each
constexpr double kUnloopedWindowSeconds = 0.5;  // and the windows over the rest,
constexpr double kUnloopedStepSeconds = 0.25;   // this far apart

uint16_t u16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t u32(const uint8_t* p) { return static_cast<uint32_t>(u16(p)) | (static_cast<uint32_t>(u16(p + 2)) << 16); }

// A table of fixed-size records inside the list.
struct Table {
    const uint8_t* data;  // first record; nullptr when the chunk is missing
    size_t count;         // whole records
    const uint8_t* at(size_t i) const { return data + i * record; }
    size_t record;        // bytes per record
};

// A stretch of sample data as measured: first and last frame (exclusive)
// of the sound, of its loop (both 0 unlooped), the sample rate in Hz, and
// the stated pitch in cents.
typedef std::tuple<int64_t, int64_t, int64_t, int64_t, uint32_t, double> Measured;

// What was measured of a stretch: the offset (NaN where no measurement was
// confident) and, in seconds of the sample, from when the recording sounds
// at that pitch.
typedef std::map<Measured, std::pair<double, double>> Measurements;

// What is known of the stretches measured so far: many zones and presets
// share a sample, and several threads may work on one SoundFont's presets.
struct SharedMeasurements {
    std::mutex lock;  // held while measured is looked at or changed, never while measuring
    Measurements measured;
};

struct Pdta {
    Table phdr, pbag, pgen, inst, ibag, igen, shdr;
    const uint8_t* samples = nullptr;  // the "smpl" chunk: 16-bit frames; nullptr when not given
    size_t sample_frames = 0;
    const std::atomic<bool>* stop = nullptr;  // the caller gives up when it turns true; may be nullptr
    bool stopped = false;                     // a measurement was skipped because of stop
    SharedMeasurements* shared = nullptr;     // the measurements, shared with other readers of the same bytes
};

bool find_tables(const uint8_t* bytes, size_t size, Pdta* pdta)
{
    struct Wanted {
        const char* id;
        Table* table;
        size_t record;
    } wanted[] = {{"phdr", &pdta->phdr, kPresetHeaderBytes}, {"pbag", &pdta->pbag, kBagBytes},
                  {"pgen", &pdta->pgen, kGeneratorBytes},    {"inst", &pdta->inst, kInstrumentBytes},
                  {"ibag", &pdta->ibag, kBagBytes},          {"igen", &pdta->igen, kGeneratorBytes},
                  {"shdr", &pdta->shdr, kSampleHeaderBytes}};
    for (Wanted& w : wanted)
        *w.table = Table{nullptr, 0, w.record};
    size_t at = 0;
    while (size - at >= 8) {
        const uint8_t* id = bytes + at;
        size_t body = u32(bytes + at + 4);
        at += 8;
        if (body > size - at)
            return false;
        for (Wanted& w : wanted) {
            if (std::memcmp(id, w.id, 4) == 0)
                *w.table = Table{bytes + at, body / w.record, w.record};
        }
        at += body + (body & 1);
        if (at > size)
            break;
    }
    for (const Wanted& w : wanted) {
        if (w.table->data == nullptr)
            return false;
    }
    return true;
}

// One zone's generators: the raw 16-bit amounts and which were given.
struct Generators {
    uint16_t amount[GEN_COUNT];
    bool set[GEN_COUNT];
};

int16_t signed_amount(const Generators& g, int op) { return static_cast<int16_t>(g.amount[op]); }

// Reads the generators of bag number bag of a bag table into g (on top of
// what g holds). Returns true when the zone ends with its terminal generator
// (an instrument for a preset zone, a sample for an instrument zone); false
// for a zone without it (a global zone) or with indices out of range, which
// valid is false for.
bool read_zone(const Table& bags, const Table& gens, size_t bag, int terminal, Generators* g, bool* valid)
{
    *valid = false;
    if (bag + 1 >= bags.count)
        return false;
    size_t first = u16(bags.at(bag));
    size_t last = u16(bags.at(bag + 1));
    if (first > last || last > gens.count)
        return false;
    *valid = true;
    for (size_t i = first; i < last; ++i) {
        int op = u16(gens.at(i));
        if (op >= GEN_COUNT)
            continue;
        g->amount[op] = u16(gens.at(i) + 2);
        g->set[op] = true;
        if (op == terminal)
            return true;
    }
    return false;
}

Generators instrument_defaults()
{
    Generators g{};
    g.amount[GEN_KEY_RANGE] = 0x7F00;  // 0..127
    g.amount[GEN_VELOCITY_RANGE] = 0x7F00;
    g.amount[GEN_KEYNUM] = static_cast<uint16_t>(-1);
    g.amount[GEN_SCALE_TUNING] = 100;
    g.amount[GEN_ROOT_KEY] = static_cast<uint16_t>(-1);
    return g;
}

Generators preset_defaults()
{
    Generators g{};
    g.amount[GEN_KEY_RANGE] = 0x7F00;
    g.amount[GEN_VELOCITY_RANGE] = 0x7F00;
    return g;
}

// What one instrument zone under one preset zone contributes to a key.
struct ZonePitch {
    int key_low, key_high;        // 0..127
    int velocity_low, velocity_high;  // 0..127
    bool looped;                  // the sample loops, its loop inside the sample
    bool measured;                // the sample's real pitch was measured with confidence
    double offset_cents;          // the sound's distance above its stated pitch (when measured)
    double settled_seconds;       // from when in the sample it sounds so (when measured)
    double weight;                // linear amplitude, from the zone's attenuation
    int scale_cents;              // scale tuning: cents per key
    double root_pitch_cents;      // the sample's stated pitch, cents above key 0, as FluidSynth anchors it
    double transpose_cents;       // coarse and fine tune
    bool fixed_key;               // plays one key's pitch whatever key is pressed
    bool single_cycle;            // measured as its loop's length: one whole cycle of its wave
    double attack_seconds;        // from the sample's start to its loop, played at the root pitch
};

void range_of(uint16_t amount, int* low, int* high)
{
    *low = amount & 0xFF;
    *high = amount >> 8;
}

// The frames first .. last - 1 of the sample data as floats, full scale 1.
std::vector<float> frames_of(const Pdta& pdta, int64_t first, int64_t last)
{
    std::vector<float> out;
    out.reserve(static_cast<size_t>(last - first));
    for (int64_t n = first; n < last; ++n)
        out.push_back(static_cast<int16_t>(u16(pdta.samples + 2 * n)) / 32768.0f);
    return out;
}

// The measured offset of a zone's sample (sound from start to end, looped
// from loop_start to loop_end when looped) against stated_cents, or NaN;
// settled_seconds receives from when in the sample it sounds so.
double measured_offset(Pdta& pdta, int64_t start, int64_t end, bool looped, int64_t loop_start, int64_t loop_end,
                       uint32_t sample_rate_hz, double stated_cents, double* settled_seconds)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    if (pdta.samples == nullptr || sample_rate_hz == 0 || start < 0 || start >= end ||
        end > static_cast<int64_t>(pdta.sample_frames))
        return nan;
    if (!looped)
        loop_start = loop_end = 0;
    const Measured key{start, end, loop_start, loop_end, sample_rate_hz, stated_cents};
    {
        std::lock_guard<std::mutex> hold(pdta.shared->lock);
        auto known = pdta.shared->measured.find(key);
        if (known != pdta.shared->measured.end()) {
            *settled_seconds = known->second.second;
            return known->second.first;
        }
    }
    if (pdta.stop != nullptr && pdta.stop->load()) {
        pdta.stopped = true;
        return nan;
    }
    double offset = nan;
    *settled_seconds = 0.0;
    if (looped) {
        std::vector<float> sound = frames_of(pdta, start, loop_end);
        looped_sample_offset(sound.data(), static_cast<size_t>(loop_start - start),
                             static_cast<size_t>(loop_end - start), sample_rate_hz, stated_cents, &offset,
                             settled_seconds, pdta.stop);
    } else {
        std::vector<float> sound = frames_of(pdta, start, end);
        if (unlooped_sample_offset(sound.data(), sound.size(), sample_rate_hz, stated_cents, &offset, pdta.stop))
            *settled_seconds = MEASURE_ONSET_SECONDS;
    }
    if (pdta.stop != nullptr && pdta.stop->load()) {
        pdta.stopped = true;  // the measurement may have been cut short: not kept
        return std::numeric_limits<double>::quiet_NaN();
    }
    std::lock_guard<std::mutex> hold(pdta.shared->lock);
    pdta.shared->measured[key] = {offset, *settled_seconds};
    return offset;
}

// The pitch facts of an instrument zone (inst) placed by a preset zone
// (preset); false when its sample cannot be played.
bool zone_pitch(Pdta& pdta, const Generators& inst, const Generators& preset, ZonePitch* z)
{
    size_t sample = inst.amount[GEN_SAMPLE_ID];
    if (sample + 1 >= pdta.shdr.count)  // the last header is the terminal record
        return false;
    const uint8_t* s = pdta.shdr.at(sample);
    if (u16(s + 44) & kRomSample)
        return false;
    int key_low, key_high, preset_key_low, preset_key_high;
    range_of(inst.amount[GEN_KEY_RANGE], &key_low, &key_high);
    range_of(preset.amount[GEN_KEY_RANGE], &preset_key_low, &preset_key_high);
    int velocity_low, velocity_high, preset_velocity_low, preset_velocity_high;
    range_of(inst.amount[GEN_VELOCITY_RANGE], &velocity_low, &velocity_high);
    range_of(preset.amount[GEN_VELOCITY_RANGE], &preset_velocity_low, &preset_velocity_high);
    z->key_low = std::max(key_low, preset_key_low);
    z->key_high = std::min(key_high, preset_key_high);
    z->velocity_low = std::max(velocity_low, preset_velocity_low);
    z->velocity_high = std::min(velocity_high, preset_velocity_high);

    int root_key = signed_amount(inst, GEN_ROOT_KEY);
    if (root_key < 0 || root_key > 127)
        root_key = s[40] <= 127 ? s[40] : kUnpitchedRootKey;
    const int pitch_correction = static_cast<int8_t>(s[41]);
    z->root_pitch_cents = 100.0 * root_key - pitch_correction;
    z->scale_cents = signed_amount(inst, GEN_SCALE_TUNING) + signed_amount(preset, GEN_SCALE_TUNING);
    z->transpose_cents = 100.0 * (signed_amount(inst, GEN_COARSE_TUNE) + signed_amount(preset, GEN_COARSE_TUNE)) +
                         signed_amount(inst, GEN_FINE_TUNE) + signed_amount(preset, GEN_FINE_TUNE);
    z->fixed_key = signed_amount(inst, GEN_KEYNUM) >= 0;
    double attenuation_cb = signed_amount(inst, GEN_ATTENUATION) + signed_amount(preset, GEN_ATTENUATION);
    z->weight = std::pow(10.0, -std::clamp(attenuation_cb, 0.0, 1440.0) / 200.0);

    // The loop as the zone's offsets move it, in frames of the sample data.
    auto offset = [&](int fine, int coarse) {
        return static_cast<int64_t>(signed_amount(inst, fine)) +
               static_cast<int64_t>(kCoarseOffsetFrames) * signed_amount(inst, coarse);
    };
    int64_t start = u32(s + 20) + offset(GEN_START_OFFSET, GEN_START_COARSE_OFFSET);
    int64_t end = u32(s + 24) + offset(GEN_END_OFFSET, GEN_END_COARSE_OFFSET);
    int64_t loop_start = u32(s + 28) + offset(GEN_LOOP_START_OFFSET, GEN_LOOP_START_COARSE_OFFSET);
    int64_t loop_end = u32(s + 32) + offset(GEN_LOOP_END_OFFSET, GEN_LOOP_END_COARSE_OFFSET);
    const int modes = inst.amount[GEN_SAMPLE_MODES] & 3;
    const bool looped = modes == 1 || modes == 3;
    // The format asks for eight frames of the sample on either side of a
    // loop; a synthesizer may play a loop closer to the ends otherwise than
    // it is written (measured with FluidR3 GM: one 5 frames from its end
    // sounds 12.7 cents above its own held loop, though the loop holds whole
    // cycles, the recording before it sounds as it does, and one of its two
    // channels runs on past the loop's end just as it does past its start;
    // nothing in the data tells it from near-end loops that play true).
    const bool loop_inside = start <= loop_start && loop_start < loop_end && loop_end <= end;
    const bool loop_clear = start + kLoopMargin <= loop_start && loop_end + kLoopMargin <= end;
    // The sample is meant to sound at the pitch that makes each key sound
    // at its own: its root pitch less the zone's transposition. The fine
    // tune is how the SoundFont itself makes up for a sample's mistuning;
    // coarse tune moves a sample recorded at another note to its keys (one
    // moved an octave on purpose lies beyond LOOP_OFFSET_LIMIT_CENTS and is
    // left alone).
    const double stated_cents = z->root_pitch_cents - z->transpose_cents;
    const uint32_t sample_rate_hz = u32(s + 36);
    z->looped = looped && loop_inside;
    // A pitch that an envelope or a low-frequency oscillator moves on
    // purpose has no one settled pitch to correct to within half a cent.
    bool pitch_moves = false;
    for (int op : {GEN_MOD_LFO_TO_PITCH, GEN_VIB_LFO_TO_PITCH, GEN_MOD_ENV_TO_PITCH})
        pitch_moves = pitch_moves || signed_amount(inst, op) + signed_amount(preset, op) != 0;
    z->settled_seconds = 0.0;
    const bool loop_as_written = !looped || (loop_inside && loop_clear);
    z->offset_cents = z->fixed_key || pitch_moves || !loop_as_written
                          ? std::numeric_limits<double>::quiet_NaN()
                          : measured_offset(pdta, start, end, z->looped, loop_start, loop_end, sample_rate_hz,
                                            stated_cents, &z->settled_seconds);
    z->measured = !std::isnan(z->offset_cents);
    if (!z->measured)
        z->offset_cents = 0.0;
    double by_length = 0.0;
    uint32_t cycles = 0;
    z->single_cycle = z->measured && z->looped && loop_end - loop_start <= UINT32_MAX &&
                      loop_pitch_offset(static_cast<uint32_t>(loop_end - loop_start), sample_rate_hz, stated_cents,
                                        &by_length, &cycles) &&
                      cycles == 1 && by_length == z->offset_cents;
    z->attack_seconds = z->looped && sample_rate_hz > 0 ? static_cast<double>(loop_start - start) / sample_rate_hz : 0.0;
    return true;
}

// The zones of bags first .. last - 1 that end with their terminal
// generator, each read on top of defaults and of the leading global zone, if
// there is one. A zone with indices out of range ends the list.
std::vector<Generators> merged_zones(const Table& bags, const Table& gens, size_t first, size_t last, int terminal,
                                     const Generators& defaults)
{
    std::vector<Generators> zones;
    Generators global = defaults;
    for (size_t bag = first; bag < last; ++bag) {
        Generators zone = global;
        bool valid = false;
        bool complete = read_zone(bags, gens, bag, terminal, &zone, &valid);
        if (!valid)
            break;
        if (complete)
            zones.push_back(zone);
        else if (bag == first)
            global = zone;
    }
    return zones;
}

// Every zone a preset plays: each instrument zone under each preset zone.
void preset_zones(Pdta& pdta, size_t preset, std::vector<ZonePitch>* zones)
{
    zones->clear();
    for (const Generators& preset_zone :
         merged_zones(pdta.pbag, pdta.pgen, u16(pdta.phdr.at(preset) + 24), u16(pdta.phdr.at(preset + 1) + 24),
                      GEN_INSTRUMENT, preset_defaults())) {
        size_t instrument = preset_zone.amount[GEN_INSTRUMENT];
        if (instrument + 1 >= pdta.inst.count)
            continue;
        for (const Generators& zone :
             merged_zones(pdta.ibag, pdta.igen, u16(pdta.inst.at(instrument) + 20),
                          u16(pdta.inst.at(instrument + 1) + 20), GEN_SAMPLE_ID, instrument_defaults())) {
            ZonePitch z;
            if (zone_pitch(pdta, zone, preset_zone, &z) && z.key_low <= z.key_high &&
                z.velocity_low <= z.velocity_high)
                zones->push_back(z);
        }
    }
}

// What sounds at one key, for the velocity tuned for.
struct KeySound {
    bool any;               // some zone plays the key
    bool looped;            // every zone playing it loops
    bool corrected;         // every zone playing it was measured, and they agree
    bool onset_differs;     // some zone sounds at another pitch for part of the note's first second
    double offset_cents;    // weighted mean over the zones, when corrected
    int scale_cents;        // of the first zone
    double root_pitch_cents;  // of the first zone
    double loop_reached_seconds;  // the latest of the looped zones
    bool pitch_follows_key;       // every zone: 100 cents a key, no fixed key
    bool single_cycle;            // every zone loops over one measured cycle
};

KeySound key_sound(const std::vector<ZonePitch>& zones, int key)
{
    int velocity = -1;
    for (const ZonePitch& z : zones) {
        if (z.key_low <= key && key <= z.key_high)
            velocity = std::max(velocity, std::min(z.velocity_high, kTunedVelocity));
    }
    KeySound sound{false, true, true, false, 0.0, 100, 100.0 * key, 0.0, true, true};
    double weights = 0.0;
    double lowest = HUGE_VAL, highest = -HUGE_VAL;  // of the zones' offsets
    for (const ZonePitch& z : zones) {
        if (z.key_low > key || key > z.key_high || z.velocity_low > velocity || velocity > z.velocity_high)
            continue;
        sound.pitch_follows_key = sound.pitch_follows_key && z.scale_cents == 100 && !z.fixed_key;
        sound.single_cycle = sound.single_cycle && z.single_cycle;
        if (!sound.any) {
            sound.any = true;
            sound.scale_cents = z.scale_cents;
            sound.root_pitch_cents = z.root_pitch_cents;
        }
        // FluidSynth plays the key this far above the sample's root, this
        // many seconds of the sample in each second of the note.
        const double above_root_cents =
            z.scale_cents / 100.0 * (100.0 * key - z.root_pitch_cents) + z.transpose_cents;
        const double speed = std::exp2(above_root_cents / 1200.0);
        sound.looped = sound.looped && z.looped;
        // What a listener hears from the note's first second on must be the
        // pitch corrected for. A held note that reaches its loop within that
        // second is heard at its loop. One that reaches it later is heard at
        // the recording before the loop meanwhile, played slowly: it is
        // corrected only where that recording, as far as it can be
        // measured, sounds as the loop does; where it differs, the loop's
        // figure would put the note's first seconds (all a short note has)
        // off by the difference (FluidR3 GM's low woodwind, string and
        // bagpipe keys: in tune as stated, 1 to 17 cents off once corrected
        // for their loops). An unlooped note is heard from its settled part on.
        const double heard_from_seconds = std::max(speed * HEARD_FROM_SECONDS, MEASURE_ONSET_SECONDS);
        const bool loop_soon = z.attack_seconds <= speed * LOOP_SOON_SECONDS;
        const bool heard = z.looped ? z.attack_seconds <= speed * LOOP_REACHED_LIMIT_SECONDS &&
                                          (loop_soon || z.settled_seconds <= heard_from_seconds)
                                    : z.settled_seconds <= speed * HEARD_FROM_SECONDS;
        sound.corrected = sound.corrected && z.measured && heard;
        sound.onset_differs = sound.onset_differs || (z.measured && z.settled_seconds > heard_from_seconds);
        sound.offset_cents += z.weight * z.offset_cents;
        weights += z.weight;
        lowest = std::min(lowest, z.offset_cents);
        highest = std::max(highest, z.offset_cents);
        if (z.looped)
            sound.loop_reached_seconds = std::max(sound.loop_reached_seconds, z.attack_seconds / speed);
    }
    sound.looped = sound.looped && sound.any;
    sound.pitch_follows_key = sound.pitch_follows_key && sound.any;
    sound.corrected = sound.corrected && sound.any && highest - lowest <= LAYER_SPREAD_LIMIT_CENTS;
    sound.offset_cents = sound.corrected && weights > 0.0 ? sound.offset_cents / weights : 0.0;
    return sound;
}

// The facts of every key of a preset of the given zones.
void fill_key_sounds(const std::vector<ZonePitch>& zones, PresetTuning* tuning)
{
    for (int key = 0; key < SOUNDFONT_KEYS; ++key) {
        const KeySound sound = key_sound(zones, key);
        tuning->pitch_follows_key[key] = sound.pitch_follows_key;
        tuning->single_cycle[key] = sound.single_cycle && sound.corrected;
        tuning->heard[key] = false;
        tuning->offset_cents[key] = sound.offset_cents;
        tuning->sounding[key] = sound.any;
        tuning->looped[key] = sound.looped;
        tuning->corrected[key] = sound.corrected;
        tuning->onset_differs[key] = sound.onset_differs;
        tuning->loop_reached_seconds[key] = sound.loop_reached_seconds;
        tuning->scale_cents[key] = sound.scale_cents;
        tuning->root_pitch_cents[key] = sound.root_pitch_cents;
    }
}

// The key tuning of a preset whose key facts are filled in, each corrected
// key raised by raise_cents.
//
// FluidSynth gives a key of a tuned channel the pitch
//   s/100 * (tuning[key] - tuning[r]) + tuning[r],
// s the zone's scale tuning and r the whole key of its root pitch, where an
// untuned channel gives s/100 * (100 key - root) + root. With s = 100 the
// root drops out and tuning[key] is simply the key's pitch; otherwise the
// root key's entry anchors the zone, so it is solved for first.
void set_key_cents(double raise_cents, PresetTuning* tuning)
{
    bool settled[SOUNDFONT_KEYS];
    double change[SOUNDFONT_KEYS];  // tuning[key] - 100 key
    for (int key = 0; key < SOUNDFONT_KEYS; ++key) {
        settled[key] = tuning->scale_cents[key] == 100;
        change[key] = tuning->corrected[key] ? raise_cents - tuning->offset_cents[key] : kUnchangedCents;
    }
    for (int key = 0; key < SOUNDFONT_KEYS; ++key) {
        if (settled[key])
            continue;
        const double s = tuning->scale_cents[key] / 100.0;
        const double root_pitch_cents = tuning->root_pitch_cents[key];
        const double root = std::trunc(root_pitch_cents / 100.0);
        const int root_key = static_cast<int>(std::clamp(root, 0.0, SOUNDFONT_KEYS - 1.0));
        // The wanted change from the untuned pitch, written as the table's
        // change at the key: s * (c_key - c_root) + c_root - (1 - s) * frac.
        const double wanted = change[key] + (1.0 - s) * (root_pitch_cents - 100.0 * root);
        if (!settled[root_key]) {
            change[root_key] = wanted;
            settled[root_key] = true;
        }
        if (s != 0.0)
            change[key] = change[root_key] + (wanted - change[root_key]) / s;
        settled[key] = true;
    }
    for (int key = 0; key < SOUNDFONT_KEYS; ++key)
        tuning->key_cents[key] = 100.0 * key + change[key];
}

}  // namespace

bool loop_pitch_offset(uint32_t loop_frames, uint32_t sample_rate_hz, double stated_cents, double* offset_cents,
                       uint32_t* cycles_out)
{
    if (loop_frames == 0 || sample_rate_hz == 0 || !std::isfinite(stated_cents))
        return false;
    // Pitch of one cycle per loop, then the whole numbers of cycles either
    // side of the stated pitch.
    const double one_cycle_cents = 1200.0 * std::log2(sample_rate_hz / (MIDI_KEY_ZERO_HZ * loop_frames));
    const double cycles = std::exp2((stated_cents - one_cycle_cents) / 1200.0);
    double best = HUGE_VAL, best_cycles = 0.0;
    for (double n : {std::floor(cycles), std::ceil(cycles)}) {
        if (n < 1.0)
            continue;
        double offset = one_cycle_cents + 1200.0 * std::log2(n) - stated_cents;
        if (std::fabs(offset) < std::fabs(best)) {
            best = offset;
            best_cycles = n;
        }
    }
    if (!(std::fabs(best) <= LOOP_OFFSET_LIMIT_CENTS))
        return false;
    *offset_cents = best;
    if (cycles_out != nullptr)
        *cycles_out = static_cast<uint32_t>(std::min(best_cycles, 4294967295.0));
    return true;
}

double pitch_offset_cents(const float* samples, size_t count, double sample_rate_hz, double stated_cents)
{
    const double guess_hz = MIDI_KEY_ZERO_HZ * std::exp2(stated_cents / 1200.0);
    const HarmonicPitch pitch = harmonic_pitch(samples, count, sample_rate_hz, guess_hz, kSearchCents,
                                               MEASURE_HARMONICS, MEASURE_CLEAR_RATIO);
    return 1200.0 * std::log2(pitch.frequency_hz / guess_hz);
}

namespace {

// The offsets above stated_cents of the harmonic pitch in windows of
// sounds, taken one after another: whether they all found a clear pitch
// within LOOP_OFFSET_LIMIT_CENTS and agree to within tolerance_cents, and
// their mean.
struct Agreement {
    double stated_cents;
    const std::atomic<bool>* stop;  // gives up (disagrees) once true; may be nullptr
    double tolerance_cents = MEASURE_AGREEMENT_CENTS;  // widest spread of the offsets, 0..LOOP_OFFSET_LIMIT_CENTS
    double lowest = HUGE_VAL, highest = -HUGE_VAL, sum = 0.0;
    size_t count = 0;
    bool agreed = true;

    // Measures samples[first .. first + frames) for each (first, frames) of
    // windows, at sample_rate_hz; false as soon as the agreement fails.
    bool add(const float* samples, const std::vector<std::pair<size_t, size_t>>& windows, double sample_rate_hz)
    {
        for (const auto& window : windows) {
            if (!agreed || (stop != nullptr && stop->load())) {
                agreed = false;
                break;
            }
            const double offset = pitch_offset_cents(samples + window.first, window.second, sample_rate_hz,
                                                     stated_cents);
            lowest = std::min(lowest, offset);
            highest = std::max(highest, offset);
            sum += offset;
            ++count;
            // NaN fails too: no clear pitch.
            agreed = std::fabs(offset) <= LOOP_OFFSET_LIMIT_CENTS && highest - lowest <= tolerance_cents;
        }
        return agreed;
    }
    double mean() const { return sum / static_cast<double>(count); }
};

// Windows of kUnloopedWindowSeconds every step_seconds over frames
// MEASURE_ONSET_SECONDS .. count of a sound at sample_rate_hz: its steady
// part, after the attack.
std::vector<std::pair<size_t, size_t>> steady_windows(size_t count, double sample_rate_hz, double step_seconds)
{
    const size_t window = static_cast<size_t>(kUnloopedWindowSeconds * sample_rate_hz);
    const size_t step = static_cast<size_t>(step_seconds * sample_rate_hz);
    std::vector<std::pair<size_t, size_t>> windows;
    for (size_t first = static_cast<size_t>(MEASURE_ONSET_SECONDS * sample_rate_hz);
         first + window <= count && window > 0 && step > 0; first += step)
        windows.push_back({first, window});
    return windows;
}

bool valid_rate(double sample_rate_hz) { return sample_rate_hz >= 1.0 && sample_rate_hz <= 1e6; }

}  // namespace

bool looped_sample_offset(const float* sound, size_t loop_start, size_t loop_end, double sample_rate_hz,
                          double stated_cents, double* offset_cents, double* settled_seconds,
                          const std::atomic<bool>* stop)
{
    if (sound == nullptr || loop_start >= loop_end || !valid_rate(sample_rate_hz) || !std::isfinite(stated_cents))
        return false;
    // The loop held: played over and over, each window starting another
    // third of the way into it.
    const size_t loop_frames = loop_end - loop_start;
    constexpr size_t kWindows = sizeof kLoopWindowSeconds / sizeof kLoopWindowSeconds[0];
    std::vector<std::pair<size_t, size_t>> windows;
    size_t total = 0;
    for (size_t i = 0; i < kWindows; ++i) {
        const size_t first = loop_frames * i / kWindows;
        const size_t frames = static_cast<size_t>(kLoopWindowSeconds[i] * sample_rate_hz);
        windows.push_back({first, frames});
        total = std::max(total, first + frames);
    }
    std::vector<float> held(total);
    for (size_t n = 0; n < total; ++n)
        held[n] = sound[loop_start + n % loop_frames];
    Agreement held_loop{stated_cents, stop};
    if (!held_loop.add(held.data(), windows, sample_rate_hz))
        return false;
    // The recording before the loop, back from the loop for as long as it
    // sounds within HEARD_AGREEMENT_CENTS of the loop. A recording too short
    // to measure counts as differing: at a key far below the root it can
    // last seconds, and nothing says how it sounds.
    const std::vector<std::pair<size_t, size_t>> before =
        steady_windows(loop_start, sample_rate_hz, kUnloopedWindowSeconds);
    const double loop_start_seconds = static_cast<double>(loop_start) / sample_rate_hz;
    double settled = loop_start_seconds;
    Agreement whole_note = held_loop;
    whole_note.tolerance_cents = HEARD_AGREEMENT_CENTS;
    for (auto window = before.rbegin(); window != before.rend(); ++window) {
        if (!whole_note.add(sound, {*window}, sample_rate_hz))
            break;
        settled = static_cast<double>(window->first) / sample_rate_hz;
    }
    if (stop != nullptr && stop->load())
        return false;
    // A loop holds a whole number of cycles; where the nearest whole number
    // sounds as measured, it is the exact figure.
    const double measured = held_loop.mean();
    double by_length = 0.0;
    const bool whole = loop_frames <= UINT32_MAX &&
                       static_cast<double>(static_cast<uint32_t>(sample_rate_hz)) == sample_rate_hz &&
                       loop_pitch_offset(static_cast<uint32_t>(loop_frames), static_cast<uint32_t>(sample_rate_hz),
                                         stated_cents, &by_length);
    *offset_cents = whole && std::fabs(by_length - measured) <= MEASURE_AGREEMENT_CENTS ? by_length : measured;
    *settled_seconds = settled;
    return true;
}

bool unlooped_sample_offset(const float* frames, size_t count, double sample_rate_hz, double stated_cents,
                            double* offset_cents, const std::atomic<bool>* stop)
{
    if (frames == nullptr || !valid_rate(sample_rate_hz) || !std::isfinite(stated_cents))
        return false;
    const std::vector<std::pair<size_t, size_t>> windows =
        steady_windows(count, sample_rate_hz, kUnloopedStepSeconds);
    Agreement steady{stated_cents, stop};
    if (windows.size() < 2 || !steady.add(frames, windows, sample_rate_hz))
        return false;
    *offset_cents = steady.mean();
    return true;
}

namespace {

// Whether preset header number preset (of the records before the terminal
// one) is a melodic preset: bank 0..127, program 0..127.
bool melodic(const Pdta& pdta, size_t preset)
{
    const uint8_t* header = pdta.phdr.at(preset);
    return u16(header + 22) < kPercussionBank && u16(header + 20) < SOUNDFONT_KEYS;
}

// The tuning of the melodic preset with header number preset.
PresetTuning preset_tuning(Pdta& pdta, size_t preset, double raise_cents)
{
    std::vector<ZonePitch> zones;
    preset_zones(pdta, preset, &zones);
    PresetTuning tuning;
    tuning.bank = u16(pdta.phdr.at(preset) + 22);
    tuning.program = u16(pdta.phdr.at(preset) + 20);
    fill_key_sounds(zones, &tuning);
    set_key_cents(raise_cents, &tuning);
    return tuning;
}

bool tunings_of(Pdta& pdta, double raise_cents, std::vector<PresetTuning>* tunings)
{
    SharedMeasurements shared;
    pdta.shared = &shared;
    for (size_t preset = 0; preset + 1 < pdta.phdr.count; ++preset) {
        if (melodic(pdta, preset))
            tunings->push_back(preset_tuning(pdta, preset, raise_cents));
    }
    pdta.shared = nullptr;
    if (pdta.stopped)
        tunings->clear();
    return !pdta.stopped;
}

// The body of the chunk with the given id among the chunks of
// bytes[0 .. size); false when there is none or it runs past the end.
bool find_chunk(const uint8_t* bytes, size_t size, const char* id, const uint8_t** body, size_t* body_size,
                const char* list_type = nullptr)
{
    size_t at = 0;
    while (size - at >= 8) {
        size_t length = u32(bytes + at + 4);
        if (length > size - at - 8)
            return false;
        const uint8_t* data = bytes + at + 8;
        if (std::memcmp(bytes + at, id, 4) == 0 &&
            (list_type == nullptr || (length >= 4 && std::memcmp(data, list_type, 4) == 0))) {
            *body = list_type == nullptr ? data : data + 4;
            *body_size = list_type == nullptr ? length : length - 4;
            return true;
        }
        at += 8 + length + (length & 1);
        if (at > size)
            return false;
    }
    return false;
}

}  // namespace

bool soundfont_tunings_from_pdta(const uint8_t* bytes, size_t size, double raise_cents,
                                 std::vector<PresetTuning>* tunings)
{
    tunings->clear();
    Pdta pdta;
    if (bytes == nullptr || !find_tables(bytes, size, &pdta))
        return false;
    return tunings_of(pdta, raise_cents, tunings);
}

namespace {

// The tables and the sample data of a whole SoundFont file in bytes[0 ..
// size); false when it is not a SoundFont.
bool read_soundfont(const uint8_t* bytes, size_t size, Pdta* pdta)
{
    const uint8_t *riff, *sdta, *smpl, *list;
    size_t riff_size, sdta_size, smpl_size, list_size;
    if (bytes == nullptr || !find_chunk(bytes, size, "RIFF", &riff, &riff_size, "sfbk") ||
        !find_chunk(riff, riff_size, "LIST", &list, &list_size, "pdta") || list_size > kMaxPdtaBytes ||
        !find_tables(list, list_size, pdta))
        return false;
    if (find_chunk(riff, riff_size, "LIST", &sdta, &sdta_size, "sdta") &&
        find_chunk(sdta, sdta_size, "smpl", &smpl, &smpl_size)) {
        pdta->samples = smpl;
        pdta->sample_frames = smpl_size / 2;
    }
    return true;
}

}  // namespace

bool soundfont_tunings_from_bytes(const uint8_t* bytes, size_t size, double raise_cents,
                                  std::vector<PresetTuning>* tunings, const std::atomic<bool>* stop)
{
    tunings->clear();
    Pdta pdta;
    if (!read_soundfont(bytes, size, &pdta))
        return false;
    pdta.stop = stop;
    return tunings_of(pdta, raise_cents, tunings);
}

// The file mapped, its tables read, the melodic presets listed.
struct SoundFontPresets::Mapped {
    void* bytes = MAP_FAILED;
    size_t size = 0;
    Pdta pdta;
    std::vector<size_t> presets;  // header numbers of the melodic presets
    SharedMeasurements shared;

    ~Mapped()
    {
        if (bytes != MAP_FAILED)
            munmap(bytes, size);
    }
};

SoundFontPresets::SoundFontPresets() = default;
SoundFontPresets::~SoundFontPresets() = default;

bool SoundFontPresets::open(const char* path)
{
    mapped_.reset();
    int fd = path == nullptr ? -1 : ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    // Mapped rather than read: FluidSynth has just read the file into the
    // page cache.
    auto mapped = std::make_unique<Mapped>();
    struct stat info;
    if (fstat(fd, &info) == 0 && info.st_size > 0) {
        mapped->size = static_cast<size_t>(info.st_size);
        mapped->bytes = mmap(nullptr, mapped->size, PROT_READ, MAP_PRIVATE, fd, 0);
    }
    close(fd);
    if (mapped->bytes == MAP_FAILED || !read_soundfont(static_cast<const uint8_t*>(mapped->bytes), mapped->size,
                                                       &mapped->pdta))
        return false;
    mapped->pdta.shared = &mapped->shared;
    for (size_t preset = 0; preset + 1 < mapped->pdta.phdr.count; ++preset) {
        if (melodic(mapped->pdta, preset))
            mapped->presets.push_back(preset);
    }
    mapped_ = std::move(mapped);
    return true;
}

size_t SoundFontPresets::count() const { return mapped_ == nullptr ? 0 : mapped_->presets.size(); }

int SoundFontPresets::bank(size_t i) const { return u16(mapped_->pdta.phdr.at(mapped_->presets[i]) + 22); }

int SoundFontPresets::program(size_t i) const { return u16(mapped_->pdta.phdr.at(mapped_->presets[i]) + 20); }

bool SoundFontPresets::tuning(size_t i, PresetTuning* tuning, const std::atomic<bool>* stop) const
{
    Pdta pdta = mapped_->pdta;  // a reader of its own: stop and stopped are this call's
    pdta.stop = stop;
    const PresetTuning worked_out = preset_tuning(pdta, mapped_->presets[i], 0.0);
    // The sample data read stays in the page cache, but not in this
    // process's memory while the rest is worked out: unchanged pages of a
    // file are dropped and read back on the next touch, also by a thread
    // reading them now.
    madvise(mapped_->bytes, mapped_->size, MADV_DONTNEED);
    if (pdta.stopped)
        return false;
    *tuning = worked_out;
    return true;
}

PresetTuning SoundFontPresets::stated(size_t i) const
{
    Pdta pdta = mapped_->pdta;
    pdta.samples = nullptr;  // nothing measured
    pdta.sample_frames = 0;
    return preset_tuning(pdta, mapped_->presets[i], 0.0);
}

bool soundfont_tunings_from_file(const char* path, double raise_cents, std::vector<PresetTuning>* tunings,
                                 const std::atomic<bool>* stop)
{
    tunings->clear();
    SoundFontPresets presets;
    if (!presets.open(path))
        return false;
    tunings->resize(presets.count());
    for (size_t i = 0; i < presets.count(); ++i) {
        if (!presets.tuning(i, &(*tunings)[i], stop)) {
            tunings->clear();
            return false;
        }
    }
    set_tuning_raise(raise_cents, tunings);
    return true;
}

namespace {

static_assert(std::is_trivially_copyable<PresetTuning>::value, "tunings are cached as they lie in memory");

// What the cache file starts with: the layout's and the input's identity.
// The key tunings are worked out again from the cached facts for the raise
// asked for.
struct CacheHeader {
    char magic[8];           // "VRTUNE8"
    uint64_t record_bytes;   // sizeof(PresetTuning)
    uint64_t file_bytes;     // the SoundFont's size
    int64_t modified_s;      // and modification time
    int64_t modified_ns;
    uint64_t count;          // tunings that follow
};

// A file name for path: a hash of it (FNV-1a), as 16 hexadecimal digits.
std::string cache_name(const char* path)
{
    uint64_t hash = 14695981039346656037ull;
    for (const char* c = path; *c != '\0'; ++c)
        hash = (hash ^ static_cast<unsigned char>(*c)) * 1099511628211ull;
    char name[40];
    std::snprintf(name, sizeof name, "tuning-%016llx.bin", static_cast<unsigned long long>(hash));
    return name;
}

// The header the cache of the SoundFont at path must have; false when the
// SoundFont cannot be looked at.
bool wanted_header(const char* path, CacheHeader* header)
{
    struct stat info;
    if (path == nullptr || stat(path, &info) != 0)
        return false;
    *header = CacheHeader{};
    std::memcpy(header->magic, "VRTUNE8", 8);
    header->record_bytes = sizeof(PresetTuning);
    header->file_bytes = static_cast<uint64_t>(info.st_size);
    header->modified_s = info.st_mtim.tv_sec;
    header->modified_ns = info.st_mtim.tv_nsec;
    return true;
}

bool read_cache(const std::string& file, const CacheHeader& wanted, std::vector<PresetTuning>* tunings)
{
    std::FILE* in = std::fopen(file.c_str(), "rb");
    if (in == nullptr)
        return false;
    CacheHeader header;
    bool ok = std::fread(&header, sizeof header, 1, in) == 1 &&
              std::memcmp(header.magic, wanted.magic, sizeof header.magic) == 0 &&
              header.record_bytes == wanted.record_bytes && header.file_bytes == wanted.file_bytes &&
              header.modified_s == wanted.modified_s && header.modified_ns == wanted.modified_ns &&
              header.count <= 65536;
    if (ok) {
        tunings->resize(header.count);
        ok = header.count == 0 || std::fread(tunings->data(), sizeof(PresetTuning), header.count, in) == header.count;
    }
    std::fclose(in);
    if (!ok)
        tunings->clear();
    return ok;
}

// Written to a temporary name and renamed, so that a reader never sees half.
void write_cache(const std::string& file, CacheHeader header, const std::vector<PresetTuning>& tunings)
{
    header.count = tunings.size();
    std::string temporary = file + "." + std::to_string(getpid());
    std::FILE* out = std::fopen(temporary.c_str(), "wb");
    if (out == nullptr)
        return;
    bool ok = std::fwrite(&header, sizeof header, 1, out) == 1 &&
              (tunings.empty() || std::fwrite(tunings.data(), sizeof(PresetTuning), tunings.size(), out) ==
                                      tunings.size());
    ok = std::fclose(out) == 0 && ok;
    if (!ok || std::rename(temporary.c_str(), file.c_str()) != 0)
        std::remove(temporary.c_str());
}

}  // namespace

void set_tuning_raise(double raise_cents, std::vector<PresetTuning>* tunings)
{
    for (PresetTuning& t : *tunings)
        set_key_cents(raise_cents, &t);
}

bool soundfont_tunings_from_cache(const char* path, double raise_cents, const std::string& cache_directory,
                                  std::vector<PresetTuning>* tunings)
{
    tunings->clear();
    CacheHeader header;
    if (cache_directory.empty() || !wanted_header(path, &header) ||
        !read_cache(cache_directory + "/" + cache_name(path), header, tunings))
        return false;
    set_tuning_raise(raise_cents, tunings);
    return true;
}

void soundfont_tunings_keep(const char* path, const std::string& cache_directory,
                            const std::vector<PresetTuning>& tunings)
{
    CacheHeader header;
    if (cache_directory.empty() || !wanted_header(path, &header))
        return;
    // The directory and its parent (the user's cache folder may not exist yet).
    size_t slash = cache_directory.find_last_of('/');
    if (slash != std::string::npos && slash > 0)
        mkdir(cache_directory.substr(0, slash).c_str(), 0700);
    mkdir(cache_directory.c_str(), 0700);
    write_cache(cache_directory + "/" + cache_name(path), header, tunings);
}

bool soundfont_tunings_cached(const char* path, double raise_cents, const std::string& cache_directory,
                              std::vector<PresetTuning>* tunings, const std::atomic<bool>* stop,
                              TuningMeasure measure)
{
    tunings->clear();
    CacheHeader header;
    if (!wanted_header(path, &header))
        return false;
    if (soundfont_tunings_from_cache(path, raise_cents, cache_directory, tunings))
        return true;
    const bool measured = measure == nullptr ? soundfont_tunings_from_file(path, 0.0, tunings, stop)
                                             : measure(path, tunings, stop);
    if (!measured) {
        tunings->clear();
        return false;
    }
    soundfont_tunings_keep(path, cache_directory, *tunings);
    set_tuning_raise(raise_cents, tunings);
    return true;
}
