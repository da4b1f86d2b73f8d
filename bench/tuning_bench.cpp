// The built-in synthesizer's tuning, measured: every melodic General MIDI
// program of the real FluidR3 GM SoundFont on every third key of its range at
// bend 0, and every bent note the program's own chord, scale and drift
// dialogues send, each note rendered alone through the bridge offline, once
// as the SoundFont states itself and once with the bridge's key tunings. Each
// note is measured from the audio (the fundamental from eight harmonics, in
// its looped part where it has one, each harmonic the power-weighted mean of
// the lines around it, as the bridge measures) against the pitch asked for:
// the key plus the bend at exactly 4096 units a semitone.
//
// Prints the worst and the 99th-percentile error per program and overall,
// before and after, how many notes the bridge corrects ("corr."), how many of
// those sound at another pitch before their loop past their first second
// ("onset": in tune only once the loop is reached), and how many notes
// whose samples loop end within half a cent. Each note is measured a second time over its window less the first
// half second: how far the two readings differ is the measurement's own
// uncertainty for that note. Exits 1 when any note ends further off than
// before by more than kMeasureCents, or a bent note of the dialogues more
// than half a cent off (plus kMeasureCents); 2 when it cannot run.
//
// The tunings are worked out once (the time it takes is printed) and kept
// in the build's tuning-cache folder, which the renders then read.
//
//   varenta_tuning_bench [SoundFont] [--programs FIRST LAST]
#include "app/reset.h"
#include "bridge/first_measuring.h"
#include "bridge/heard_tuning.h"
#include "dialogue/driver.h"
#include "midi/bridge.h"
#include "platform/fake/fake_platform.h"
#include "tests/pitch_render.h"
#include "voices/voices.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

const char* const kDefaultSoundFont = "/usr/share/sounds/sf2/FluidR3_GM.sf2";
constexpr int kDialogueProgram = 6;   // the program's own voice, Harpsichord
constexpr int kLowestKey = 21;        // A0 to C8, the range a piano plays
constexpr int kHighestKey = 108;
constexpr int kKeyStep = 3;
constexpr double kWindowMs = 2000.0;      // measured per note: long enough to part the lines around each harmonic
constexpr double kLeastSettleMs = 1000.0;  // after the note starts: past the attack
constexpr double kMostSettleMs = 8000.0;  // a loop reached later counts as never reached
constexpr double kGapMs = 400.0;          // between one note's end and the next one's start
constexpr double kHalfCent = 0.5;
// What the measurement itself may be off: the bench's reading of one steady
// note (one the bridge corrects) moves by up to this between its full window
// and the same window less its first half second, before and after alike.
constexpr double kMeasureCents = 0.05;
constexpr double kRemeasureAfterMs = 500.0;
constexpr int kHarmonics = 8;
constexpr double kBatchMs = 1200e3;       // audio rendered at once: 200 MB

// One note to measure.
struct Case {
    int program;
    int key;
    int bend;
    bool looped;        // its sample loops, and the loop is reached in time
    bool corrected;     // the bridge corrects the key by its samples' measured pitch
    bool onset_differs; // its recording sounds at another pitch before the loop, past the note's first second
    double settle_ms;   // from the note's start to the measured window
    bool dialogue;      // sent by one of the program's dialogues
    double before;      // cents off the asked pitch, as the SoundFont states itself; NaN unmeasured
    double after;       // the same with the bridge's key tunings
    double before_again;  // before and after, measured again without the window's first half second
    double after_again;
};

double cents_of(double hz) { return 1200.0 * std::log2(hz / 8.175798915643707); }

double asked_cents(int key, int bend) { return 100.0 * key + 200.0 * (bend - 8192) / 8192.0; }

// The notes (key, bend) the program sends in a dialogue on the bridge.
std::set<std::pair<int, int>> dialogue_notes(const std::string& input)
{
    program_reset();
    fake_reset();
    fake_add_library(BRIDGE_RUNTIME_LIBRARY);
    fake_add_bridge(BRIDGE_LIBRARY);
    fake_console_input("\n" + input);
    run_program();
    std::set<std::pair<int, int>> notes;
    std::map<int, int> bends;  // channel -> bend
    for (const BridgeEvent& e : bridge_events(fake_messages())) {
        if (e.status == 0xE0)
            bends[e.channel] = (e.data1 & 0x7F) | ((e.data2 & 0x7F) << 7);
        else if (e.status == 0x90 && e.data2 > 0)
            notes.insert({e.data1, bends.count(e.channel) ? bends[e.channel] : 8192});
    }
    return notes;
}

Case make_case(const PresetTuning& tuning, int key, int bend, bool dialogue)
{
    double loop_ms = 1000.0 * tuning.loop_reached_seconds[key];
    bool looped = tuning.looped[key] && loop_ms + 50.0 <= kMostSettleMs;
    double settle = std::clamp(loop_ms + 50.0, kLeastSettleMs, kMostSettleMs);
    return Case{tuning.program, key, bend, looped, tuning.corrected[key], tuning.onset_differs[key], settle, dialogue,
                NAN, NAN, NAN, NAN};
}

double hold_ms(const Case& c) { return c.settle_ms + kWindowMs + 5.0; }

// Renders the cases, one note after another on channel 0 with each program's
// change before its first note, and stores each one's error.
void measure(const std::string& soundfont, const std::vector<Case*>& cases, bool in_tune)
{
    std::vector<BridgeEvent> events;
    // Dry: no reverb tail of one note under the next.
    events.push_back(BridgeEvent{0.0, 0xB0, 0, 91, 0});
    RenderSettings settings;
    settings.library_path = SONVEX_OFFLINE_LIBRARY_PATH;
    settings.soundfont_path = soundfont;
    settings.harmonics = kHarmonics;
    settings.clear_ratio = MEASURE_CLEAR_RATIO;
    settings.max_window_ms = kWindowMs;
    settings.in_tune = in_tune;
    settings.tuning_cache = VARENTA_TUNING_CACHE;
    settings.remeasure_after_ms = kRemeasureAfterMs;
    double time_ms = 100.0;
    int program = -1;
    for (const Case* c : cases) {
        if (c->program != program) {
            program = c->program;
            events.push_back(BridgeEvent{time_ms - 50.0, 0xC0, 0, program, 0});
        }
        // All sound off first: no release of the note before under this one.
        events.push_back(BridgeEvent{time_ms - 20.0, 0xB0, 0, 120, 0});
        add_note(events, time_ms, time_ms + hold_ms(*c), 0, c->key, c->bend);
        settings.note_settle_ms.push_back(c->settle_ms);
        time_ms += hold_ms(*c) + kGapMs;
    }
    std::vector<MeasuredNote> notes = render_and_measure(events, settings);
    for (size_t i = 0; i < cases.size() && i < notes.size(); ++i) {
        double error = cents_of(notes[i].frequency_hz) - asked_cents(cases[i]->key, cases[i]->bend);
        double again = cents_of(notes[i].remeasured_hz) - asked_cents(cases[i]->key, cases[i]->bend);
        (in_tune ? cases[i]->after : cases[i]->before) = error;
        (in_tune ? cases[i]->after_again : cases[i]->before_again) = again;
    }
}

// Worst and 99th percentile of |error| over the measured ones; count
// receives how many were measured.
void spread(const std::vector<double>& errors, double* worst, double* p99, size_t* count)
{
    std::vector<double> sizes;
    for (double e : errors) {
        if (!std::isnan(e))
            sizes.push_back(std::fabs(e));
    }
    std::sort(sizes.begin(), sizes.end());
    *count = sizes.size();
    *worst = sizes.empty() ? NAN : sizes.back();
    *p99 = sizes.empty() ? NAN : sizes[static_cast<size_t>(std::ceil(0.99 * sizes.size())) - 1];
}

void print_row(const char* label, const std::vector<const Case*>& rows)
{
    std::vector<double> before, after;
    size_t looped = 0, corrected = 0, onset = 0, looped_measured = 0, looped_in_tune = 0;
    for (const Case* c : rows) {
        before.push_back(c->before);
        after.push_back(c->after);
        looped += c->looped ? 1 : 0;
        corrected += c->corrected ? 1 : 0;
        onset += c->corrected && c->onset_differs ? 1 : 0;
        if (c->looped && !std::isnan(c->after)) {
            ++looped_measured;
            looped_in_tune += std::fabs(c->after) <= kHalfCent ? 1 : 0;
        }
    }
    double worst_before, p99_before, worst_after, p99_after;
    size_t measured_before, measured_after;
    spread(before, &worst_before, &p99_before, &measured_before);
    spread(after, &worst_after, &p99_after, &measured_after);
    std::printf("%-30s %5zu %6zu %5zu %5zu %5zu  %8.3f %8.3f   %8.3f %8.3f   %4zu/%-4zu\n", label, rows.size(),
                looped, corrected, onset, measured_after, worst_before, p99_before, worst_after, p99_after,
                looped_in_tune, looped_measured);
}

}  // namespace

int main(int argc, char** argv)
{
    std::string soundfont = kDefaultSoundFont;
    int first_program = 0, last_program = VOICE_COUNT - 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--programs") == 0 && i + 2 < argc) {
            first_program = std::atoi(argv[i + 1]);
            last_program = std::atoi(argv[i + 2]);
            i += 2;
        } else {
            soundfont = argv[i];
        }
    }
    // Worked out as the bridge does on its first start, then read back as on
    // every later one.
    std::vector<PresetTuning> tunings;
    auto work_start = std::chrono::steady_clock::now();
    const bool cached = soundfont_tunings_from_cache(soundfont.c_str(), 0.0, VARENTA_TUNING_CACHE, &tunings);
    if (!cached && !soundfont_tunings_cached(soundfont.c_str(), 0.0, VARENTA_TUNING_CACHE, &tunings, nullptr,
                                              measure_soundfont)) {
        std::fprintf(stderr, "cannot read the presets of %s\n", soundfont.c_str());
        return 2;
    }
    double work_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - work_start).count();
    auto read_start = std::chrono::steady_clock::now();
    soundfont_tunings_from_cache(soundfont.c_str(), 0.0, VARENTA_TUNING_CACHE, &tunings);
    double read_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - read_start).count();
    std::printf("tunings %s in %.2f s; read from the cache in %.4f s\n", cached ? "read" : "worked out", work_seconds,
                read_seconds);
    std::map<int, const PresetTuning*> melodic;  // bank 0 by program
    for (const PresetTuning& t : tunings) {
        if (t.bank == 0)
            melodic[t.program] = &t;
    }

    std::vector<Case> cases;
    for (int program = first_program; program <= last_program; ++program) {
        auto found = melodic.find(program);
        if (found == melodic.end())
            continue;
        for (int key = kLowestKey; key <= kHighestKey; ++key) {
            if (found->second->sounding[key]) {
                for (; key <= kHighestKey && found->second->sounding[key]; key += kKeyStep)
                    cases.push_back(make_case(*found->second, key, 8192, false));
                break;
            }
        }
    }
    std::set<std::pair<int, int>> bent;
    for (const char* input : {"\n11/8 13/8 2/1\n551.3178 968.8259 1200.0\nexit\n", "next\n= 7\n8\nexit\n",
                              "next\nnext\n4 n 12\nexit\n"}) {
        for (const auto& note : dialogue_notes(input))
            bent.insert(note);
    }
    if (melodic.count(kDialogueProgram)) {
        for (const auto& note : bent)
            cases.push_back(make_case(*melodic[kDialogueProgram], note.first, note.second, true));
    }

    auto start = std::chrono::steady_clock::now();
    try {
        // Batches of whole programs, each rendered in one go (the SoundFont
        // loads once per batch) and held in memory while it is measured.
        std::vector<Case*> ordered;
        for (Case& c : cases)
            ordered.push_back(&c);
        std::stable_sort(ordered.begin(), ordered.end(),
                         [](const Case* x, const Case* y) { return x->program < y->program; });
        std::vector<Case*> batch;
        double batch_ms = 0.0;
        for (size_t i = 0; i < ordered.size(); ++i) {
            batch.push_back(ordered[i]);
            batch_ms += hold_ms(*ordered[i]) + kGapMs;
            bool program_ends = i + 1 == ordered.size() || ordered[i + 1]->program != ordered[i]->program;
            if (program_ends && (batch_ms > kBatchMs || i + 1 == ordered.size())) {
                measure(soundfont, batch, false);
                measure(soundfont, batch, true);
                batch.clear();
                batch_ms = 0.0;
            }
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 2;
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    std::printf("%s, %zu notes (%zu bent, program %d), fundamental from %d harmonics, cents off the asked pitch\n",
                soundfont.c_str(), cases.size(), bent.size(), kDialogueProgram, kHarmonics);
    std::printf("%-30s %5s %6s %5s %5s %5s  %8s %8s   %8s %8s   %s\n", "program", "notes", "looped", "corr.",
                "onset", "meas.", "worst", "p99", "worst", "p99", "looped within 0.5 c after");
    std::printf("%-30s %5s %6s %5s %5s %5s  %17s   %17s\n", "", "", "", "", "", "", "before", "after");
    std::vector<const Case*> all, looped, dialogue;
    std::map<int, std::vector<const Case*>> rows;
    for (const Case& c : cases) {
        all.push_back(&c);
        if (c.looped)
            looped.push_back(&c);
        (c.dialogue ? dialogue : rows[c.program]).push_back(&c);
    }
    for (const auto& row : rows) {
        char label[64];
        std::snprintf(label, sizeof label, "%3d %.26s", row.first, voice_names[row.first]);
        print_row(label, row.second);
    }
    print_row("bent notes of the dialogues", dialogue);
    print_row("all notes", all);
    print_row("notes whose sample loops", looped);

    int failures = 0;
    size_t unmeasured = 0, worse_beyond_own = 0, looped_off = 0;
    size_t looped_steady = 0, steady_in_tune = 0;  // looped notes whose readings agree within RENDERED_AGREEMENT_CENTS
    std::vector<double> steady, unsteady;  // window-to-window differences of corrected notes, and of the rest
    for (const Case& c : cases) {
        if (std::isnan(c.before) || std::isnan(c.after)) {
            std::printf("not measured: program %d key %d bend %d (%+.3f before, %+.3f after)\n", c.program, c.key,
                        c.bend, c.before, c.after);
            ++unmeasured;
            continue;
        }
        // The note's own uncertainty: how far its readings move with the window.
        const double uncertainty = std::fmax(std::fabs(c.before - c.before_again), std::fabs(c.after - c.after_again));
        if (!std::isnan(uncertainty))
            (c.corrected ? steady : unsteady).push_back(uncertainty);
        if (c.looped && uncertainty <= RENDERED_AGREEMENT_CENTS) {
            ++looped_steady;
            steady_in_tune += std::fabs(c.after) <= kHalfCent ? 1 : 0;
        }
        const double worse_by = std::fabs(c.after) - std::fabs(c.before);
        if (worse_by > kMeasureCents) {
            std::printf("FAULT program %d key %d bend %d: %+.3f cents before, %+.3f after (readings move by %.3f): "
                        "further off than before\n",
                        c.program, c.key, c.bend, c.before, c.after, uncertainty);
            ++failures;
            worse_beyond_own += worse_by > uncertainty ? 1 : 0;
        } else if (c.dialogue && std::fabs(c.after) > kHalfCent + kMeasureCents) {
            std::printf("FAULT program %d key %d bend %d: %+.3f cents before, %+.3f after: bent note more than half a "
                        "cent off\n",
                        c.program, c.key, c.bend, c.before, c.after);
            ++failures;
        } else if (c.looped && std::fabs(c.after) > kHalfCent) {
            std::printf("off: program %d key %d bend %d: %+.3f before, %+.3f after, %s (readings move by %.3f)\n",
                        c.program, c.key, c.bend, c.before, c.after, c.corrected ? "corrected" : "left as stated",
                        uncertainty);
            ++looped_off;
        }
    }
    for (const auto& kind : {std::make_pair("corrected", &steady), std::make_pair("left as stated", &unsteady)}) {
        double worst, p99;
        size_t count;
        spread(*kind.second, &worst, &p99, &count);
        std::printf("readings of %zu notes %s move with the window by %.3f cents at most, %.3f at the 99th "
                    "percentile\n",
                    count, kind.first, worst, p99);
    }
    std::printf("looped notes whose readings move by %.1f cents at most: %zu within half a cent after of %zu\n",
                RENDERED_AGREEMENT_CENTS, steady_in_tune, looped_steady);
    std::printf("%zu notes not measured (no tone stood out); %zu looped notes more than half a cent off after; %d "
                "faults (%zu worse by more than their own readings move); rendered and measured in %.0f s\n",
                unmeasured, looped_off, failures, worse_beyond_own, seconds);
    return failures == 0 ? 0 : 1;
}
