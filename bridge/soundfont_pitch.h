// How far a SoundFont's samples sound from the pitch they state, and the key
// tunings that put every melodic preset back in tune on FluidSynth.
//
// FluidSynth plays a sample faster or slower so that its stated root pitch
// lands on the key, but a recorded sample is rarely exactly at the pitch it
// states. Its real pitch is measured from its own data, as the fundamental
// its harmonics agree on (pitch/harmonic_pitch.h): a looped sample as it sounds
// held, its loop played over and over; an unlooped one over its steady part
// after the attack. A measurement counts only when it is clear and the same
// in every window it is taken over; a loop's length, which holds a whole
// number of the waveform's cycles, gives the exact figure where it agrees.
// The parser reads the preset, instrument and sample headers and the sample
// data, and works out for each melodic preset and key the key tuning that
// makes the key sound at its equal-tempered pitch.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

constexpr int SOUNDFONT_KEYS = 128;
constexpr double MIDI_KEY_ZERO_HZ = 8.175798915643707;  // MIDI key 0, where cents are counted from

// FluidSynth 2.3 cuts a voice's pitch down to a whole cent before it turns it
// into a frequency, so every note lands between 0 and 1 cent flat. Raising
// a key by half a cent makes that cut a rounding to the nearest cent.
constexpr double TRUNCATION_RAISE_CENTS = 0.5;

// Beyond this distance from the stated pitch, neither a measurement nor the
// nearest whole number of cycles in a loop is taken for the sample's tuning
// (a loop of noise, or a layer recorded at another note on purpose).
constexpr double LOOP_OFFSET_LIMIT_CENTS = 50.0;

// A sample's pitch is measured in several windows; it counts only when they
// all agree to within this. The windows differ in length and in where they
// start, as the stretch of a held note a listener or a measurement takes
// does: a sound whose harmonics are clear gives the same pitch in all, an
// ensemble, a vibrato, a beating or an inharmonic sound does not.
constexpr double MEASURE_AGREEMENT_CENTS = 0.05;

// Harmonics a sample's pitch is measured from.
constexpr int MEASURE_HARMONICS = 8;

// A window's measurement counts only where its strongest harmonic's peak
// stands at least twice as high as the spectrum five resolutions either side
// (harmonic_pitch's clear_ratio). A held loop's spectrum is a comb of lines
// one loop's repetition rate apart, and a recording's natural unsteadiness
// leaves energy on the lines beside each harmonic; the agreement of the
// windows, not a lone peak, is what shows the pitch is pinned down.
constexpr double MEASURE_CLEAR_RATIO = 0.5;

// How far the harmonic pitch of samples[0 .. count) (sample_rate_hz) lies
// above stated_cents (cents above MIDI key 0), in cents: MEASURE_HARMONICS
// harmonics looked for within 60 cents of their stated pitch, the strongest
// clear by MEASURE_CLEAR_RATIO (pitch/harmonic_pitch.h); NaN where none stands clear.
double pitch_offset_cents(const float* samples, size_t count, double sample_rate_hz, double stated_cents);

// A recording's first fifth of a second, its onset, is never measured.
constexpr double MEASURE_ONSET_SECONDS = 0.2;

// A key is corrected for the pitch its note settles at, held: a looped
// sample's held loop, an unlooped one's steady part. A key played far below
// its sample's root plays the recording slowly, and its note is heard at the
// recording before the loop, or at an unlooped sample's onset, for seconds.
// Such a key is corrected only where what is heard of the note is the pitch
// corrected for: it reaches its loop within LOOP_SOON_SECONDS, or the
// recording before the loop sounds within HEARD_AGREEMENT_CENTS of the loop
// from HEARD_FROM_SECONDS into the note on (and the loop comes within
// LOOP_REACHED_LIMIT_SECONDS); otherwise it is left as stated (by the sample
// data: heard_tuning.h renders such keys and corrects them for the held
// loop, the pitch a held note settles at). Measured with
// FluidR3 GM: the keys that came out further off once corrected for their
// loops reach them after 2.2 seconds or more, the default Harpsichord's
// keys the program plays most within 1.13 seconds.
constexpr double HEARD_FROM_SECONDS = 1.0;
constexpr double LOOP_REACHED_LIMIT_SECONDS = 8.0;
constexpr double HEARD_AGREEMENT_CENTS = 0.5;
constexpr double LOOP_SOON_SECONDS = 1.5;

// Zones of one key whose offsets differ by more than this are layers
// detuned against each other on purpose (a chorus); no single key tuning
// puts them all in tune, so the key is left as stated.
constexpr double LAYER_SPREAD_LIMIT_CENTS = 1.0;

// One melodic preset and the key tuning that corrects it.
struct PresetTuning {
    int bank;     // 0..127 (the percussion bank 128 is never tuned)
    int program;  // 0..127
    // The pitch FluidSynth is to give each key, in cents above MIDI key 0
    // (equal temperament is 100 * key): the correction of the key's sample
    // and the raise asked for, where it is corrected.
    double key_cents[SOUNDFONT_KEYS];
    // How far each key's sound lies above its stated pitch, in cents: the
    // weighted mean of the key's zones at the velocity tuned for; 0 where
    // the key is left as stated.
    double offset_cents[SOUNDFONT_KEYS];
    // True where some zone plays the key.
    bool sounding[SOUNDFONT_KEYS];
    // True where every zone playing the key loops.
    bool looped[SOUNDFONT_KEYS];
    // True where the key is corrected: every zone playing it was measured
    // with confidence, and they agree.
    bool corrected[SOUNDFONT_KEYS];
    // True where the recording before a zone's loop sounds at another pitch
    // than the loop (beyond HEARD_AGREEMENT_CENTS), or cannot be measured,
    // past HEARD_FROM_SECONDS into the note (such a key is corrected only
    // when its loop comes within that time).
    bool onset_differs[SOUNDFONT_KEYS];
    // How long after the note starts the key's slowest looped zone reaches
    // its loop, in seconds (0 where none loops): before that the recording's
    // attack sounds.
    double loop_reached_seconds[SOUNDFONT_KEYS];
    // How FluidSynth anchors the key's (first) zone: its scale tuning, in
    // cents per key (100 where no zone plays it), and its sample's root
    // pitch, in cents above MIDI key 0.
    int scale_cents[SOUNDFONT_KEYS];
    double root_pitch_cents[SOUNDFONT_KEYS];
    // True where every zone playing the key follows the key at 100 cents a
    // key: the key's pitch is its stated one plus its samples' offset (and
    // what an envelope or oscillator adds), whatever the key.
    bool pitch_follows_key[SOUNDFONT_KEYS];
    // True where the key is corrected and every zone playing it loops over
    // a single cycle of its wave, as its length and its sound agree: a
    // strictly periodic sound, which FluidSynth plays exactly as measured.
    bool single_cycle[SOUNDFONT_KEYS];
    // True where the correction was measured from the key as FluidSynth
    // plays it (heard_tuning.h), not from the sample data alone.
    bool heard[SOUNDFONT_KEYS];
};

// Works out the tunings of every melodic preset of the SoundFont at path,
// key_cents not raised (set_tuning_raise): the sample data alone
// (soundfont_tunings_from_file) or more. Returns false (tunings cleared or
// half done) when it cannot read the SoundFont or gave up because stop
// became true.
typedef bool (*TuningMeasure)(const char* path, std::vector<PresetTuning>* tunings, const std::atomic<bool>* stop);

// The key tunings (key_cents) of tunings for their corrections, every
// corrected key raised by raise_cents.
void set_tuning_raise(double raise_cents, std::vector<PresetTuning>* tunings);

// The real pitch of a looped sample by its loop's length. loop_frames (> 0)
// frames at sample_rate_hz (> 0) hold the whole number of cycles whose pitch
// comes nearest stated_cents (cents above MIDI key 0, the pitch the sample is
// meant to have). Returns true and sets offset_cents to that pitch's distance
// above stated_cents (and cycles, when given, to the number of cycles), or
// false (both untouched) when the loop is empty, the rate is 0, or the
// nearest whole number of cycles lies more than LOOP_OFFSET_LIMIT_CENTS away.
bool loop_pitch_offset(uint32_t loop_frames, uint32_t sample_rate_hz, double stated_cents, double* offset_cents,
                       uint32_t* cycles = nullptr);

// The measured pitch of a looped sample (sound[0 .. loop_end) at
// sample_rate_hz, looped from loop_start), as it sounds held: the loop
// played over and over, measured in windows of 1, 2 and 4 seconds, each
// starting at another point of the loop. Returns true and sets offset_cents
// to the held loop's distance above stated_cents when every window finds a
// clear harmonic pitch within LOOP_OFFSET_LIMIT_CENTS of the stated one and
// they agree to within MEASURE_AGREEMENT_CENTS: the loop's own whole number
// of cycles where its pitch agrees as closely, else the windows' mean.
// settled_seconds then receives from when (seconds into the sound) the
// recording sounds so: half-second windows of the recording before the loop
// are measured back from the loop for as long as each finds a clear pitch
// and they and the loop's windows lie within HEARD_AGREEMENT_CENTS (no
// earlier than MEASURE_ONSET_SECONDS; the loop's start when the window next
// to it disagrees, or the part before the loop is too short to measure).
// False (both untouched) otherwise, and as soon as stop, when given, is true.
bool looped_sample_offset(const float* sound, size_t loop_start, size_t loop_end, double sample_rate_hz,
                          double stated_cents, double* offset_cents, double* settled_seconds,
                          const std::atomic<bool>* stop = nullptr);

// The measured pitch of an unlooped sample (frames[0 .. count) at
// sample_rate_hz) over its steady part: half-second windows from
// MEASURE_ONSET_SECONDS in, every quarter of a second while the sample
// lasts, at least two of them. True and offset_cents set as for looped_sample_offset when
// they find a clear pitch and agree; false (offset untouched) otherwise, and
// as soon as stop, when given, is true.
bool unlooped_sample_offset(const float* frames, size_t count, double sample_rate_hz, double stated_cents,
                            double* offset_cents, const std::atomic<bool>* stop = nullptr);

// The key tunings of every melodic preset (bank 0..127) described by the
// body of a SoundFont's "pdta" list (bytes[0 .. size), the part after the
// list type: phdr, pbag, pmod, pgen, inst, ibag, imod, igen and shdr chunks),
// without the sample data, so that no key is corrected (nor raised by
// raise_cents). Returns false
// for a malformed list (tunings cleared); a preset or zone whose indices are
// out of range is skipped.
bool soundfont_tunings_from_pdta(const uint8_t* bytes, size_t size, double raise_cents,
                                 std::vector<PresetTuning>* tunings);

// The key tunings of every melodic preset of a whole SoundFont file in
// bytes[0 .. size) (RIFF "sfbk"), its samples measured. Every corrected key
// gets raise_cents on top of its correction. Each key is tuned for velocity 127,
// the velocity the program's chords, scales and keyboard play at, or the
// highest velocity the key has zones for. Zones are read as FluidSynth plays
// them: global zones, preset generators added to instrument ones, key and
// velocity ranges, root key override, coarse and fine tune, scale tuning,
// the sample's pitch correction, sample offsets and sample modes. A key is
// corrected only where every zone playing it is measured with confidence
// (looped_sample_offset, unlooped_sample_offset), each heard at that pitch
// in time (LOOP_REACHED_LIMIT_SECONDS, HEARD_FROM_SECONDS), and they agree; a zone with a fixed
// key, or whose pitch an envelope or oscillator moves, is never. A key left
// as stated is not raised either: it sounds as it did untuned. When stop is given and becomes true, gives up
// (false, tunings cleared) within one window's measurement. Returns false
// (tunings cleared) when it is not a SoundFont.
bool soundfont_tunings_from_bytes(const uint8_t* bytes, size_t size, double raise_cents,
                                  std::vector<PresetTuning>* tunings, const std::atomic<bool>* stop = nullptr);

// The same for the SoundFont file at path, mapped into memory. Returns false
// (tunings cleared) when the file cannot be read, is not a SoundFont, or the
// work was stopped.
bool soundfont_tunings_from_file(const char* path, double raise_cents, std::vector<PresetTuning>* tunings,
                                 const std::atomic<bool>* stop = nullptr);

// The tunings of the SoundFont at path from cache_directory, where
// soundfont_tunings_cached keeps them: true while the SoundFont stays as it
// was (same path, size and modification time) and the cache holds them;
// false (tunings cleared) otherwise, quickly, without measuring anything.
bool soundfont_tunings_from_cache(const char* path, double raise_cents, const std::string& cache_directory,
                                  std::vector<PresetTuning>* tunings);

// Keeps tunings (as measured, unraised) in cache_directory (created when
// missing) for the SoundFont at path as it is now, where
// soundfont_tunings_from_cache finds them; written whole or not at all. An
// empty cache_directory, or one that cannot be written, keeps nothing.
void soundfont_tunings_keep(const char* path, const std::string& cache_directory,
                            const std::vector<PresetTuning>& tunings);

// The tunings of the SoundFont at path measured once per SoundFont file: from
// cache_directory while the SoundFont stays as it was, else worked out by
// measure (nullptr: the sample data alone) and kept there
// (soundfont_tunings_keep). Measuring a large SoundFont takes far longer than
// a start may. stop as for soundfont_tunings_from_bytes. False (tunings
// cleared) when the SoundFont cannot be read or the work was stopped.
bool soundfont_tunings_cached(const char* path, double raise_cents, const std::string& cache_directory,
                              std::vector<PresetTuning>* tunings, const std::atomic<bool>* stop = nullptr,
                              TuningMeasure measure = nullptr);

// A SoundFont file mapped into memory whose melodic presets are worked out
// one at a time, by any number of threads at once: the first measuring takes
// the presets a listener plays first first, and the samples several presets
// share are measured once.
class SoundFontPresets {
public:
    SoundFontPresets();
    ~SoundFontPresets();
    SoundFontPresets(const SoundFontPresets&) = delete;
    SoundFontPresets& operator=(const SoundFontPresets&) = delete;

    // Maps the SoundFont at path; false (nothing open) when it cannot be
    // read or is not a SoundFont.
    bool open(const char* path);
    // The melodic presets (bank 0..127) in the file's order, 0 when none is open.
    size_t count() const;
    int bank(size_t i) const;     // i < count()
    int program(size_t i) const;  // i < count()
    // The tuning of preset i (< count()), its samples measured, key_cents
    // unraised; false (tuning untouched) when stop, when given, became true.
    bool tuning(size_t i, PresetTuning* tuning, const std::atomic<bool>* stop) const;
    // The same as the preset data states it, no key corrected, nothing
    // measured: the facts a correction found elsewhere is applied to.
    PresetTuning stated(size_t i) const;

private:
    struct Mapped;
    std::unique_ptr<Mapped> mapped_;
};
