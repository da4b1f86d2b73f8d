// The measurement of a synthesizer: the report, the verdict, the JSON and
// the chart made from a fixed set of measurements; the arguments run_measure
// refuses; and the built-in synthesizer measured from its own offline
// render, checked against an independent measurement of the same bridge.
#include "test_support.h"

#include "calibrate/calibrate.h"
#include "calibration/calibration.h"
#include "hearing/hearing.h"
#include "measure/measure.h"
#include "hearing/plot.h"
#include "hearing/report.h"
#include "hearing/results.h"
#include "midi/bridge.h"
#include "pitch_render.h"
#include "test_os.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <unistd.h>

namespace {

const double kNaN = std::nan("");

// A synthesizer as the test synthesizer plays it: keys 36..96 with steps
// between three sample ranges, channel 5 detuned, and every channel bending
// range semitones for a full swing.
MeasureResults fixed_results(double range)
{
    MeasureResults r;
    r.device = "Test <synth> & co";
    r.source = "tones";
    r.voice = "Reed Organ";
    r.program = 20;
    r.sample_rate = 44100.0;
    r.latency_ms = 6.1;
    r.level_db = -17.25;
    r.reference_key = 60;
    r.seconds = 55.0;
    for (int key = 36; key <= 96; key += 3)
        r.keys.push_back(KeyOffset{key, key < 50 ? 1.5 : key < 70 ? -5.75 : 0.25});
    r.keys[4].cents = kNaN;  // key 48 not measured
    for (int channel = 0; channel < 16; ++channel) {
        if (channel == 9)
            continue;
        ChannelBend c{};
        c.channel = channel;
        c.cents_at_zero_bend = channel == 5 ? 1.25 : -5.75;
        for (int i = 0; i < BEND_POINTS; ++i)
            c.shift_semitones[i] = range * BEND_OFFSETS[i] / 8192.0;
        complete_channel(&c);
        r.channels.push_back(c);
    }
    const double factor = range / ASKED_BEND_RANGE - 1.0;
    for (int i = 0; i < 4; ++i) {
        double bend_cents = (i - 1.5) * 20.0;
        double error = factor * bend_cents + (i == 2 ? 0.6 : 0.1);
        r.tunings.push_back(TuningNote{"chord", 300.0 + i, (300.0 + i) * std::pow(2.0, error / 1200.0), error, i,
                                       60 + i, 8192 + static_cast<int>(bend_cents * 8192 / 200)});
    }
    return r;
}

int count_of(const std::string& text, const std::string& part)
{
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

std::string temp_path(const char* name) { return ::testing::TempDir() + "varenta-" + std::to_string(getpid()) + name; }

}  // namespace

TEST(MeasureFigures, KeyRunsAndChannelRanges)
{
    std::vector<KeyRun> runs = key_runs(fixed_results(2.0).keys);
    ASSERT_EQ(runs.size(), 3u);  // key 48, not measured, belongs to none
    EXPECT_EQ(runs[0].first_key, 36);
    EXPECT_EQ(runs[0].last_key, 45);
    EXPECT_DOUBLE_EQ(runs[0].cents, 1.5);
    EXPECT_EQ(runs[1].first_key, 51);
    EXPECT_EQ(runs[1].last_key, 69);
    EXPECT_DOUBLE_EQ(runs[1].cents, -5.75);
    EXPECT_EQ(runs[2].first_key, 72);
    EXPECT_EQ(runs[2].last_key, 96);

    // Offsets that creep by less than the tolerance from key to key still
    // end a run once they are that far from its first key.
    std::vector<KeyOffset> creeping = {{60, 0.0}, {63, 0.2}, {66, 0.4}, {69, 0.6}};
    runs = key_runs(creeping);
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].last_key, 63);
    EXPECT_DOUBLE_EQ(runs[0].cents, 0.1);

    // FluidSynth's 127/128 of the range, cut to whole cents: close enough.
    ChannelBend fluid{};
    const double fluid_shifts[BEND_POINTS] = {-1.99, -1.0, 0.0, 0.99, 1.98};
    std::copy(fluid_shifts, fluid_shifts + BEND_POINTS, fluid.shift_semitones);
    complete_channel(&fluid);
    EXPECT_NEAR(fluid.bend_up_semitones, 1.98 * 8192 / 8191, 1e-9);
    EXPECT_DOUBLE_EQ(fluid.bend_down_semitones, 1.99);
    // The farthest point from the chord through the extremes: no bend.
    const double chord_at_centre = -1.99 + 3.97 * 8192.0 / 16383.0;
    EXPECT_NEAR(fluid.linearity_cents, -100.0 * chord_at_centre, 1e-9);
    EXPECT_TRUE(fluid.obeys_range_message);

    // A curve that sags in the middle, and one bend never measured.
    ChannelBend bent = fluid;
    bent.shift_semitones[3] = 0.9;
    complete_channel(&bent);
    EXPECT_NEAR(bent.linearity_cents, 100.0 * (-1.99 + 3.97 * 12288.0 / 16383.0 - 0.9), 1e-9);
    bent.shift_semitones[4] = kNaN;
    complete_channel(&bent);
    EXPECT_FALSE(bent.obeys_range_message);
    EXPECT_TRUE(std::isnan(bent.bend_up_semitones));
}

TEST(MeasureReport, VerdictNamesTheFaultsThatExplainIt)
{
    EXPECT_EQ(verdict(fixed_results(2.0)), "plays Varenta's tunings within 0.6 cents; channel 5 is detuned by +7.0 cents");
    EXPECT_EQ(verdict(fixed_results(12.0)),
              "ignores the 2-semitone pitch-bend range on all of 15 channels (bends +12.00/-12.00 semitones), so "
              "Varenta's tunings land up to 150.1 cents off; channel 5 is detuned by +7.0 cents");
    MeasureResults some = fixed_results(2.0);
    some.channels[2].bend_up_semitones = 2.5;
    some.channels[2].obeys_range_message = false;
    some.channels[5].cents_at_zero_bend = -5.75;
    EXPECT_EQ(verdict(some).find("ignores the 2-semitone pitch-bend range on 1 of 15 channels (bends +2.50/-2.00 "
                                 "semitones), so Varenta's tunings land up to 0.6 cents off"),
              0u);
    some.channels[7].cents_at_zero_bend = 0.0;
    some.channels[8].cents_at_zero_bend = 0.0;
    EXPECT_NE(verdict(some).find("; channels 7-8 are detuned against the others"), std::string::npos);
    MeasureResults none = fixed_results(2.0);
    for (TuningNote& n : none.tunings)
        n.cents = kNaN;
    EXPECT_EQ(verdict(none), "could not measure Varenta's tunings on this synthesizer");
}

TEST(MeasureReport, ATablePerStageThenTheVerdict)
{
    const std::string text = report_text(fixed_results(12.0));
    EXPECT_NE(text.find("  Sound arrives 6.1 ms after the note-on, at -17.2 dB re full scale.\n"), std::string::npos);
    EXPECT_NE(text.find("   45  A2      +1.50\n"), std::string::npos);
    EXPECT_NE(text.find("   48  C3          -\n"), std::string::npos);
    EXPECT_NE(text.find("  Worst -5.75 cents, typical 1.50.\n"), std::string::npos);
    EXPECT_NE(text.find("    keys  51-69  -5.75 cents\n"), std::string::npos);
    EXPECT_NE(text.find("    5     +1.25   -12.000   -6.000   +6.000  +11.999  12.000  12.000     0.00   NO\n"),
              std::string::npos);
    EXPECT_NE(text.find("6.00 times the range asked"), std::string::npos);
    EXPECT_NE(text.find("  Channel 5 is detuned by +7.00 cents against the others.\n"), std::string::npos);
    EXPECT_NE(text.find("  chord         302.000       310.957   +50.60    2   62   8601\n"), std::string::npos);
    EXPECT_EQ(count_of(text, "  chord  "), 4);
    const std::string last = "\nVerdict: " + verdict(fixed_results(12.0)) + ".\n";
    EXPECT_EQ(text.substr(text.size() - last.size()), last);
}

TEST(MeasureReport, JsonForScriptsIsValidAndComplete)
{
    const std::string json = report_json(fixed_results(2.0));
    const std::string path = temp_path("-results.json");
    std::ofstream(path) << json;
    EXPECT_EQ(std::system(("python3 -c 'import json,sys; json.load(open(sys.argv[1]))' " + path).c_str()), 0);
    std::remove(path.c_str());
    EXPECT_NE(json.find("\"device\": \"Test <synth> & co\""), std::string::npos);
    EXPECT_NE(json.find("\"latency_ms\": 6.10,"), std::string::npos);
    EXPECT_NE(json.find("{\"key\": 45, \"cents\": 1.5000}"), std::string::npos);
    EXPECT_NE(json.find("{\"key\": 48, \"cents\": null}"), std::string::npos);
    EXPECT_EQ(count_of(json, "{\"key\": "), 21);
    EXPECT_NE(json.find("{\"channel\": 5, \"cents_at_zero_bend\": 1.2500, \"bend_up_semitones\": 2.00000, "
                        "\"bend_down_semitones\": 2.00000, \"linearity_cents\": 0.000, \"obeys_range_message\": true"),
              std::string::npos);
    EXPECT_EQ(count_of(json, "{\"channel\": "), 15);
    EXPECT_NE(json.find("{\"test\": \"chord\", \"asked_hz\": 302.0000, \"measured_hz\": 302.1047, \"cents\": 0.6000, "
                        "\"channel\": 2, \"key\": 62, \"bend\": 8601}"),
              std::string::npos);
    EXPECT_NE(json.find("\"verdict\": \"plays Varenta's tunings within 0.6 cents; channel 5 is detuned by +7.0 "
                        "cents\"\n}\n"),
              std::string::npos);
}

TEST(MeasureChart, OnePointPerKeyAxesWithUnitsAndALegendRenderedByARealRenderer)
{
    const std::string svg = plot_svg(fixed_results(12.0));
    EXPECT_EQ(count_of(svg, "r=\"3.5\""), 20);  // every measured key; 48 was not
    EXPECT_EQ(count_of(svg, "<polyline "), 15);  // a bend curve per channel
    EXPECT_EQ(count_of(svg, "r=\"2.5\""), 15 * BEND_POINTS);
    for (const char* label : {"MIDI key (60 = middle C)", "offset (cents against equal temperament, A = 440 Hz)",
                              "pitch-bend value (14 bit, 8192 = no bend)", "shift (semitones)",
                              "ideal: +-2 semitones", "ch 15: +12.000/-12.000", "Test &lt;synth&gt; &amp; co"})
        EXPECT_NE(svg.find(label), std::string::npos) << label;

    const std::string path = temp_path("-chart.svg");
    const std::string png = temp_path("-chart.png");
    std::ofstream(path) << svg;
    ASSERT_EQ(std::system(("rsvg-convert -o " + png + " " + path).c_str()), 0);
    std::ifstream picture(png, std::ios::binary);
    char signature[8] = {};
    picture.read(signature, sizeof signature);
    EXPECT_EQ(std::string(signature, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    std::remove(path.c_str());
    std::remove(png.c_str());
}

using MeasureArguments = VarentaTest;

TEST_F(MeasureArguments, RefusedBeforeAnythingIsSentOrWithTheDeviceClosedAgain)
{
    fake_add_port("Synth A");
    fake_add_port("Synth B");
    fake_add_file("/folder", "", FakeFile::Folder);
    struct Case {
        MeasureRequest request;
        const char* complaint;
    } cases[] = {
        {{"3", "tones", nullptr, nullptr, nullptr}, "varenta-test: no device '3' (or more than one)\n"
                                                    "The devices are:\n  1  Synth A\n  2  Synth B\n"},
        {{"synth", "tones", nullptr, nullptr, nullptr}, "varenta-test: no device 'synth' (or more than one)\n"},
        {{"b", nullptr, nullptr, nullptr, nullptr},
         "varenta-test: --measure 'Synth B' needs --audio-in SOURCE, the synthesizer's sound (see --list-audio-in)\n"},
        {{"2", "tones", nullptr, "/folder", nullptr}, "varenta-test: --json: cannot write '/folder'\n"},
    };
    for (const Case& c : cases) {
        fake_clear_messages();
        EXPECT_EQ(run_measure(c.request), 2) << c.complaint;
        EXPECT_EQ(fake_console_error_output().substr(0, std::strlen(c.complaint)), c.complaint);
        EXPECT_EQ(fake_open_count(), 0);
        EXPECT_TRUE(fake_messages().empty());
        fake_reset();
        fake_add_port("Synth A");
        fake_add_port("Synth B");
        fake_add_file("/folder", "", FakeFile::Folder);
    }

    // A source that is not there: looked for again for two seconds after
    // the device has opened (a synthesizer may bring its outputs along
    // then), and the device closed again without a note played.
    MeasureRequest request = {"Synth A", "tones", nullptr, nullptr, nullptr};
    EXPECT_EQ(run_measure(request), 2);
    EXPECT_EQ(fake_console_error_output(), "varenta-test: no audio source 'tones'; see varenta-test --list-audio-in\n");
    EXPECT_EQ(fake_open_count(), 1);
    EXPECT_EQ(fake_close_count(), 1);
    EXPECT_GE(fake_slept_ms(), 2000u);
    EXPECT_LT(fake_slept_ms(), 2500u);
    for (const FakeMessage& m : fake_messages())
        EXPECT_NE(m.status, 0x90);
}

// Runs run with the real built-in synthesizer behind the fake platform and
// no kept key tunings, whatever this machine's user cache holds: its render
// plays with the corrections shipped for FluidR3 GM, as on a fresh machine
// before any dialogue has run. Returns run's status.
template <typename Run>
int on_a_fresh_built_in_synthesizer(Run run)
{
    fake_map_library(BRIDGE_RUNTIME_LIBRARY, "libfluidsynth.so.3");
    fake_map_library(BRIDGE_LIBRARY, SONVEX_LIBRARY_PATH);
    fake_map_library(BRIDGE_OFFLINE_LIBRARY, SONVEX_OFFLINE_LIBRARY_PATH);
    const char* cache = std::getenv("XDG_CACHE_HOME");
    const std::string saved_cache = cache != nullptr ? cache : "";
    test_set_environment("XDG_CACHE_HOME", temp_path("-no-cache").c_str());
    const int status = run();
    test_set_environment("XDG_CACHE_HOME", cache != nullptr ? saved_cache.c_str() : nullptr);
    return status;
}

// The built-in synthesizer measured from its own render, as --measure
// QuickTime does, against the same notes rendered by the same bridge and
// measured independently (the tests' own estimator: the fundamental alone,
// the peak of the windowed spectrum found by golden-section search), each
// held a second before the second after it is measured.
TEST_F(MeasureArguments, BuiltInSynthesizerMeasuredFromItsOwnRender)
{
    MeasureRequest request = {"quicktime", nullptr, "reed", "/r.json", "/r.svg"};
    const int status = on_a_fresh_built_in_synthesizer([&request] { return run_measure(request); });
    ASSERT_EQ(status, 0) << fake_console_error_output();
    const MeasureResults& r = hearing_results();
    EXPECT_EQ(r.source, "its own offline render");
    EXPECT_EQ(r.program, 20);
    ASSERT_EQ(r.keys.size(), 21u);
    ASSERT_EQ(r.channels.size(), 31u);  // the bridge's 32 channels but 9
    ASSERT_EQ(r.tunings.size(), 16u);
    for (const ChannelBend& c : r.channels)
        EXPECT_TRUE(c.obeys_range_message) << c.channel;
    EXPECT_EQ(r.corrections, "shipped");
    EXPECT_GT(r.corrected_keys, 40);
    for (const TuningNote& n : r.tunings)
        EXPECT_LT(std::fabs(n.cents), 0.55) << n.asked_hz;
    EXPECT_NE(fake_file("/r.json").find("\"verdict\": \"plays Varenta's tunings within 0.5 cents"), std::string::npos);
    EXPECT_NE(fake_file("/r.json").find("\"corrections\": \"shipped\",\n  \"corrected_keys\": "), std::string::npos);
    EXPECT_NE(fake_console_output().find("Its key corrections were in use (shipped with Varenta for this SoundFont): " +
                                         std::to_string(r.corrected_keys) + " keys of Reed Organ corrected.\n"),
              std::string::npos);
    EXPECT_EQ(fake_file("/r.svg").substr(0, 5), "<?xml");
    EXPECT_NE(fake_console_output().find("\nVerdict: plays Varenta's tunings within "), std::string::npos);

    // The same keys, and key 60 bent fully up and down on channel 0.
    std::vector<BridgeEvent> events = {{0.0, 0xC0, 0, 20, 0}};
    double t = 10.0;
    for (const KeyOffset& k : r.keys) {
        events.push_back({t, 0x90, 0, k.key, 127});
        events.push_back({t + 2000.0, 0x80, 0, k.key, 127});
        t += 2300.0;
    }
    for (int bend : {0, 16383}) {
        events.push_back({t, 0xE0, 0, bend & 0x7F, bend >> 7});
        events.push_back({t + 10.0, 0x90, 0, 60, 127});
        events.push_back({t + 2010.0, 0x80, 0, 60, 127});
        t += 2300.0;
    }
    RenderSettings settings;
    settings.library_path = SONVEX_OFFLINE_LIBRARY_PATH;
    settings.soundfont_path = "/usr/share/sounds/sf2/FluidR3_GM.sf2";
    settings.settle_ms = 1000.0;
    settings.in_tune = true;
    std::vector<MeasuredNote> notes = render_and_measure(events, settings);
    ASSERT_EQ(notes.size(), r.keys.size() + 2);
    for (size_t i = 0; i < r.keys.size(); ++i) {
        double independent = cents_above(notes[i].frequency_hz, 440.0 * std::pow(2.0, (r.keys[i].key - 69) / 12.0));
        EXPECT_NEAR(r.keys[i].cents, independent, 0.2) << r.keys[i].key;
    }
    const double unbent = 440.0 * std::pow(2.0, (-9 + r.channels[0].cents_at_zero_bend / 100.0) / 12.0);
    EXPECT_NEAR(r.channels[0].bend_down_semitones, -cents_above(notes[r.keys.size()].frequency_hz, unbent) / 100.0, 0.01);
    EXPECT_NEAR(r.channels[0].shift_semitones[BEND_POINTS - 1],
                cents_above(notes[r.keys.size() + 1].frequency_hz, unbent) / 100.0, 0.01);
}

// --calibrate on the built-in synthesizer, from its own render: every
// voice asked measured once, the file kept where the settings folder says,
// every channel at the range the bridge bends, and no key offsets (the
// bridge corrects its keys itself); the tunings stage already plays
// through it. A device that could not be heard keeps nothing.
TEST_F(MeasureArguments, CalibrateKeepsTheBuiltInSynthesizersCalibration)
{
    const char* voices[] = {"reed", "flute", "Reed Organ"};
    CalibrateRequest request = {"quicktime", nullptr, voices, 3, nullptr, nullptr};
    const int status = on_a_fresh_built_in_synthesizer([&request] { return run_calibrate(request); });
    ASSERT_EQ(status, 0) << fake_console_error_output();

    const std::string path = "/home/tester/.config/varenta/calibrations/QuickTime.json";
    const std::string& out = fake_console_output();
    EXPECT_EQ(out.substr(out.size() - 21 - path.size()), "Calibration kept in " + path + "\n");
    Calibration kept;
    std::string reason;
    ASSERT_TRUE(calibration_from_json(fake_file(path), "QuickTime", &kept, &reason)) << reason;
    // Its keys are the bridge's own business: measured, not kept.
    EXPECT_TRUE(kept.voices.empty());
    ASSERT_EQ(kept.channels.size(), 31u);
    for (const CalibrationChannel& c : kept.channels) {
        EXPECT_NEAR(c.bend_up_semitones, 2.0, 0.005) << c.channel;
        EXPECT_NEAR(c.bend_down_semitones, 2.0, 0.005) << c.channel;
        EXPECT_LT(std::fabs(c.offset_cents), 0.5) << c.channel;
    }
    const MeasureResults& r = hearing_results();
    EXPECT_EQ(r.program, 20);
    ASSERT_EQ(r.other_voices.size(), 1u);
    EXPECT_EQ(r.other_voices[0].voice, "Flute");
    EXPECT_GE(r.other_voices[0].keys.size(), 21u);
    for (const TuningNote& n : r.tunings)
        EXPECT_LT(std::fabs(n.cents), 0.55) << n.asked_hz;

    // Nothing heard, nothing kept.
    fake_reset();
    fake_add_port("Synth A");
    const char* organ[] = {"organ"};
    CalibrateRequest unheard = {"Synth A", "tones", organ, 1, nullptr, nullptr};
    EXPECT_EQ(run_calibrate(unheard), 2);
    EXPECT_EQ(fake_file("/home/tester/.config/varenta/calibrations/Synth A.json"), "");
}

TEST(MeasureReport, SaysWhichKeyCorrectionsTheBuiltInSynthesizerPlayedWith)
{
    MeasureResults r = fixed_results(2.0);
    EXPECT_EQ(report_text(r).find("key corrections"), std::string::npos);  // another synthesizer: nothing said
    EXPECT_EQ(report_json(r).find("\"corrections\""), std::string::npos);
    r.voice = "Reed Organ";
    r.corrections = "cached";
    r.corrected_keys = 61;
    EXPECT_NE(report_text(r).find("\nIts key corrections were in use (worked out by an earlier start, from the "
                                  "cache): 61 keys of Reed Organ corrected.\n"),
              std::string::npos);
    EXPECT_NE(report_json(r).find("  \"corrections\": \"cached\",\n  \"corrected_keys\": 61,\n"), std::string::npos);
    r.corrections = "none";
    r.corrected_keys = 0;
    EXPECT_NE(report_text(r).find("\nIt had no key corrections yet (its first start works them out): every key "
                                  "played as the SoundFont states it.\n"),
              std::string::npos);
    EXPECT_NE(report_json(r).find("  \"corrections\": \"none\",\n  \"corrected_keys\": 0,\n"), std::string::npos);
}
