// The command line: matching arguments against an option table (values
// included, which later options take), and what the program's own options
// ask for.
#include "test_support.h"

#include "app/options.h"

namespace {

const OptionSpec kTable[] = {
    {"--list", nullptr, "a switch"},
    {"--json", "FILE", "an option with a value"},
};
constexpr int kRows = 2;

OptionMatch match(std::vector<const char*> args, int index = 1)
{
    args.insert(args.begin(), "varenta-test");
    return match_option(static_cast<int>(args.size()), args.data(), index, kTable, kRows);
}

ProgramOptions parse(std::vector<const char*> args)
{
    args.insert(args.begin(), "varenta-test");
    return parse_options(static_cast<int>(args.size()), args.data());
}

}  // namespace

TEST(OptionTable, SwitchesAndValuesInBothForms)
{
    OptionMatch m = match({"--list", "--json"});
    EXPECT_EQ(m.row, 0);
    EXPECT_EQ(m.value, nullptr);
    EXPECT_EQ(m.next, 2);

    m = match({"--json", "out.json", "--list"});
    EXPECT_EQ(m.row, 1);
    EXPECT_STREQ(m.value, "out.json");
    EXPECT_EQ(m.next, 3);

    m = match({"--json=a=b.json"});
    EXPECT_EQ(m.row, 1);
    EXPECT_STREQ(m.value, "a=b.json");  // split at the first '='
    EXPECT_EQ(m.next, 2);

    m = match({"--json", "--list"});  // a value may look like an option
    EXPECT_STREQ(m.value, "--list");
    EXPECT_EQ(m.next, 3);

    m = match({"--json="});
    EXPECT_EQ(m.error, OPTION_OK);
    EXPECT_STREQ(m.value, "");
}

TEST(OptionTable, ArgumentsNotTaken)
{
    struct Case {
        std::vector<const char*> args;
        OptionError error;
    } cases[] = {
        {{"--bogus"}, OPTION_UNKNOWN},
        {{"--lis"}, OPTION_UNKNOWN},  // no abbreviations
        {{"--listing"}, OPTION_UNKNOWN},
        {{"--LIST"}, OPTION_UNKNOWN},
        {{"-l"}, OPTION_UNKNOWN},
        {{"--"}, OPTION_UNKNOWN},
        {{"list"}, OPTION_NOT_AN_OPTION},
        {{"-"}, OPTION_NOT_AN_OPTION},
        {{""}, OPTION_NOT_AN_OPTION},
        {{"--json"}, OPTION_NEEDS_VALUE},
        {{"--list=yes"}, OPTION_TAKES_NO_VALUE},
    };
    for (const Case& c : cases) {
        OptionMatch m = match(c.args);
        EXPECT_EQ(m.error, c.error) << c.args[0];
        EXPECT_EQ(m.row, -1) << c.args[0];
        EXPECT_EQ(m.value, nullptr) << c.args[0];
    }
}

TEST(ProgramCommandLine, RunHelpVersionOrRefuse)
{
    EXPECT_EQ(parse({}).action, ACTION_RUN);
    EXPECT_EQ(parse({"--help"}).action, ACTION_HELP);
    EXPECT_EQ(parse({"--version"}).action, ACTION_VERSION);
    // The first option that acts decides; what follows it is not looked at.
    EXPECT_EQ(parse({"--version", "--help"}).action, ACTION_VERSION);
    EXPECT_EQ(parse({"--help", "--bogus"}).action, ACTION_HELP);

    struct Case {
        std::vector<const char*> args;
        OptionError error;
        const char* bad;
    } refused[] = {
        {{"--bogus", "--help"}, OPTION_UNKNOWN, "--bogus"},
        {{"-h"}, OPTION_UNKNOWN, "-h"},
        {{"scale.txt"}, OPTION_NOT_AN_OPTION, "scale.txt"},
        {{"--version=2"}, OPTION_TAKES_NO_VALUE, "--version=2"},
    };
    for (const Case& c : refused) {
        ProgramOptions options = parse(c.args);
        EXPECT_EQ(options.action, ACTION_USAGE_ERROR) << c.bad;
        EXPECT_EQ(options.error, c.error) << c.bad;
        EXPECT_STREQ(options.bad_argument, c.bad);
    }
}

TEST(ProgramCommandLine, MeasureTakesItsCompanionsInAnyOrder)
{
    ProgramOptions o = parse({"--json=r.json", "--measure", "2", "--audio-in", "fluidsynth", "--plot", "c.svg",
                              "--voice", "organ"});
    EXPECT_EQ(o.action, ACTION_MEASURE);
    EXPECT_STREQ(o.measure_device, "2");
    EXPECT_STREQ(o.audio_in, "fluidsynth");
    EXPECT_STREQ(o.json_path, "r.json");
    EXPECT_STREQ(o.plot_path, "c.svg");
    EXPECT_STREQ(o.voice, "organ");

    o = parse({"--measure", "QuickTime"});
    EXPECT_EQ(o.action, ACTION_MEASURE);
    EXPECT_EQ(o.audio_in, nullptr);
    EXPECT_EQ(o.json_path, nullptr);

    // --calibrate takes the same companions, and --voice any number of times.
    o = parse({"--voice", "organ", "--calibrate", "fluid", "--audio-in", "x", "--voice=all", "--no-calibration"});
    EXPECT_EQ(o.action, ACTION_CALIBRATE);
    EXPECT_STREQ(o.calibrate_device, "fluid");
    EXPECT_STREQ(o.audio_in, "x");
    ASSERT_EQ(o.voice_count, 2);
    EXPECT_STREQ(o.voices[0], "organ");
    EXPECT_STREQ(o.voices[1], "all");
    EXPECT_TRUE(o.no_calibration);
    o = parse({"--no-calibration"});
    EXPECT_EQ(o.action, ACTION_RUN);
    EXPECT_TRUE(o.no_calibration);
    EXPECT_FALSE(parse({"--midi-in", "1"}).no_calibration);
    EXPECT_EQ(parse({"--measure", "1", "--list-calibrations", "--bogus"}).action, ACTION_LIST_CALIBRATIONS);
    EXPECT_STREQ(parse({"--method=MTS", "--midi-in", "1"}).method, "MTS");
    EXPECT_STREQ(parse({"--measure", "1", "--method", "auto"}).method, "auto");

    EXPECT_EQ(parse({"--list-audio-in"}).action, ACTION_LIST_AUDIO);
    EXPECT_EQ(parse({"--measure", "1", "--list-audio-in"}).action, ACTION_LIST_AUDIO);

    // The companions alone ask for --measure; the first one is named.
    struct Case {
        std::vector<const char*> args;
        OptionError error;
        const char* bad;
    } refused[] = {
        {{"--audio-in", "x", "--json", "r.json"}, OPTION_NEEDS_MEASURE, "--audio-in"},
        {{"--voice=organ"}, OPTION_NEEDS_MEASURE, "--voice=organ"},
        {{"--measure", "1", "--list-audio-in=x"}, OPTION_TAKES_NO_VALUE, "--list-audio-in=x"},
        {{"--measure", "1", "--json"}, OPTION_NEEDS_VALUE, "--json"},
    };
    for (const Case& c : refused) {
        ProgramOptions options = parse(c.args);
        EXPECT_EQ(options.action, ACTION_USAGE_ERROR) << c.bad;
        EXPECT_EQ(options.error, c.error) << c.bad;
        EXPECT_STREQ(options.bad_argument, c.bad);
    }
}

using CommandLineMessages = VarentaTest;

TEST_F(CommandLineMessages, RefusedArgumentsGetOneLineOnTheErrorStream)
{
    const std::string usage =
        "; usage: varenta-test [--help] [--version] [--list-midi-in] [--midi-in PORT] [--measure DEVICE] "
        "[--audio-in SOURCE] [--list-audio-in] [--voice NAME] [--json FILE] [--plot FILE.svg] [--retune DEVICE] "
        "[--scale SCALE] [--kbm FILE.kbm] [--hz F] [--wheel-range SEMITONES] [--calibrate DEVICE] "
        "[--no-calibration] [--list-calibrations] [--method bend|mts|mpe|auto]\n";
    struct Case {
        std::vector<const char*> args;
        std::string line;
    } cases[] = {
        {{"--bogus"}, "varenta-test: unknown option '--bogus'" + usage},
        {{"scale.txt"}, "varenta-test: unexpected argument 'scale.txt'" + usage},
        {{"--help=all"}, "varenta-test: option '--help' takes no value" + usage},
        {{"--plot", "c.svg"}, "varenta-test: option '--plot' goes with --measure" + usage},
        {{"--measure"}, "varenta-test: option '--measure' needs a value" + usage},
        {{"--retune", "2"}, "varenta-test: option '--retune' needs --midi-in PORT" + usage},
        {{"--kbm", "a.kbm"}, "varenta-test: option '--kbm' needs --midi-in PORT" + usage},
        {{"--midi-in", "1", "--hz=440"}, "varenta-test: option '--hz' goes with --retune" + usage},
        {{"--measure", "1", "--scale", "a.scl"}, "varenta-test: option '--scale' goes with --retune" + usage},
        {{"--retune", "1", "--midi-in", "1", "--json", "j"}, "varenta-test: option '--json' goes with --measure" + usage},
        {{"--retune", "1", "--measure", "1"}, "varenta-test: --retune and --measure cannot run together" + usage},
        {{"--calibrate", "1", "--measure", "1"}, "varenta-test: --measure and --calibrate cannot run together" + usage},
        {{"--retune", "1", "--midi-in", "1", "--calibrate", "2"},
         "varenta-test: --retune and --calibrate cannot run together" + usage},
        {{"--calibrate", "1", "--scale", "a.scl"}, "varenta-test: option '--scale' goes with --retune" + usage},
        {{"--method", "MIDI"}, "varenta-test: option '--method' takes bend, mts, mpe or auto, not 'MIDI'" + usage},
    };
    for (const Case& c : cases) {
        reset_all();
        EXPECT_EQ(run_option_action(parse(c.args)), 2);
        EXPECT_EQ(fake_console_error_output(), c.line);
        EXPECT_EQ(fake_console_output(), "");
    }
}

TEST(CommandLine, TheRetunerTakesItsOptionsAndTheVoice)
{
    ProgramOptions o = parse({"--retune", "QuickTime", "--midi-in", "virtual", "--scale", "a.scl", "--kbm=b.kbm",
                              "--voice", "organ", "--hz", "440", "--wheel-range", "12"});
    EXPECT_EQ(o.action, ACTION_RETUNE);
    EXPECT_STREQ(o.retune_device, "QuickTime");
    EXPECT_STREQ(o.midi_in, "virtual");
    EXPECT_STREQ(o.scale, "a.scl");
    EXPECT_STREQ(o.kbm_path, "b.kbm");
    EXPECT_STREQ(o.voice, "organ");
    EXPECT_STREQ(o.hz, "440");
    EXPECT_STREQ(o.wheel_range, "12");
    // --kbm also goes with --midi-in alone, in the dialogue.
    o = parse({"--midi-in", "2", "--kbm", "b.kbm"});
    EXPECT_EQ(o.action, ACTION_RUN);
    EXPECT_STREQ(o.kbm_path, "b.kbm");
    // --voice without either mode is still refused as before.
    o = parse({"--voice", "organ"});
    EXPECT_EQ(o.action, ACTION_USAGE_ERROR);
    EXPECT_EQ(o.error, OPTION_NEEDS_MEASURE);
}
