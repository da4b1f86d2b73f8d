// The command line: which options the program takes, what they ask for, the
// texts printed for --help, --version and arguments it does not take, and
// the start of the one mode they ask for.
//
// Parsing is a pure function of argv, done before anything else runs; with no
// argument the program runs its dialogue exactly as it always has. Options
// are rows of one table: an option with a value ("--name VALUE" or
// "--name=VALUE") is a row with a value name, a field in ProgramOptions and a
// case in parse_options.
#pragma once

// One row of an option table.
struct OptionSpec {
    const char* name;        // "--help"; matched exactly, case included
    const char* value_name;  // "FILE" for an option that takes a value; nullptr = none
    const char* help;        // one line for --help
};

// What went wrong with an argument.
enum OptionError {
    OPTION_OK,
    OPTION_UNKNOWN,       // an option the table does not have ("-x", "--bogus")
    OPTION_NOT_AN_OPTION, // an argument that is not an option at all ("foo", "-", "")
    OPTION_NEEDS_VALUE,   // the last argument, and its row takes a value
    OPTION_TAKES_NO_VALUE, // "--name=VALUE" for a row without a value
    OPTION_NEEDS_MEASURE,  // an option that only goes with --measure, without it
    OPTION_NEEDS_RETUNE,   // an option that only goes with --retune, without it
    OPTION_NEEDS_MIDI_IN,  // --retune or --kbm without --midi-in
    OPTION_TWO_MODES,      // two of --retune, --measure and --calibrate together
    OPTION_BAD_METHOD      // --method with a value other than bend, mts, mpe or auto
};

// One argument matched against a table.
struct OptionMatch {
    int row;            // index into the table; -1 on error
    const char* value;  // the option's value, pointing into argv; nullptr when none
    int next;           // index of the argument after this option (and its value)
    OptionError error;  // OPTION_OK, or why the argument at the index was not taken
};

// Matches argv[index] (1 <= index < argc) against the count rows of table.
// A row with a value takes it from "=VALUE" or, failing that, from the next
// argument whatever it looks like. Pure: reads its arguments only.
OptionMatch match_option(int argc, const char* const* argv, int index, const OptionSpec* table, int count);

// What the program is to do.
enum ProgramAction {
    ACTION_RUN,           // the listening-test dialogue
    ACTION_HELP,          // the usage on standard output, status 0
    ACTION_VERSION,       // the name and version on standard output, status 0
    ACTION_LIST_MIDI_IN,  // the MIDI sources on standard output, status 0
    ACTION_USAGE_ERROR,   // a one-line hint on standard error, status 2
    ACTION_MEASURE,       // measure a synthesizer's tuning from its sound (measure/measure.h)
    ACTION_LIST_AUDIO,    // list the audio sources --audio-in takes, status 0
    ACTION_RETUNE,        // the live retuner (retuner/retuner.h)
    ACTION_CALIBRATE,     // measure a synthesizer and keep its calibration (calibrate/calibrate.h)
    ACTION_LIST_CALIBRATIONS  // the kept calibrations on standard output, status 0
};

// --voice may be given this many times (with --calibrate; "all" asks for
// every voice at once).
constexpr int MAX_VOICE_OPTIONS = 128;

struct ProgramOptions {
    ProgramAction action;
    OptionError error;         // why the arguments were refused (ACTION_USAGE_ERROR)
    const char* bad_argument;  // the refused argument, pointing into argv; nullptr otherwise
    // The values of the options that take one, pointing into argv; nullptr
    // when not given. --audio-in, --json and --plot ask for --measure or
    // --calibrate; --voice for one of them or --retune; --scale, --hz and
    // --wheel-range for --retune; --retune and --kbm for --midi-in.
    const char* midi_in;         // --midi-in PORT
    const char* measure_device;  // --measure DEVICE
    const char* audio_in;        // --audio-in SOURCE
    const char* voice;           // --voice NAME, the last one given
    const char* voices[MAX_VOICE_OPTIONS];  // every --voice NAME given, in order (the first MAX_VOICE_OPTIONS)
    int voice_count;
    const char* json_path;       // --json FILE
    const char* plot_path;       // --plot FILE.svg
    const char* retune_device;   // --retune DEVICE
    const char* scale;           // --scale SCALE (with --retune)
    const char* kbm_path;        // --kbm FILE.kbm (with --retune, or --midi-in in the dialogue)
    const char* hz;              // --hz F (with --retune)
    const char* wheel_range;     // --wheel-range SEMITONES (with --retune)
    const char* calibrate_device;  // --calibrate DEVICE
    bool no_calibration;         // --no-calibration: every device plays uncalibrated
    const char* method;          // --method bend|mts|mpe|auto
};

// Reads argv[1 .. argc - 1] left to right. --help, --version and
// --list-midi-in act at once, so what follows them is not looked at; the
// first argument not understood refuses the whole command line, and so does
// an option given without the one it goes with. No argument: ACTION_RUN.
ProgramOptions parse_options(int argc, const char* const* argv);

// Starts the one mode the options ask for, or prints what they ask for, and
// returns the exit status: 0 for help, version and the MIDI and audio
// sources, 2 for a usage error, the measurement's own for ACTION_MEASURE and
// the dialogue's for ACTION_RUN (2 when its --midi-in PORT cannot be had).
// The modes never call each other: each starts from here alone.
int run_option_action(const ProgramOptions& options);
