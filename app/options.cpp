// The command line, and the one place that starts the mode it asks for; see
// options.h.
//
// VARENTA_VERSION (the project's version) comes from the build; what the help
// says about devices and documentation, from the platform.
#include "app/options.h"

#include "calibrate/calibrate.h"
#include "calibration/store.h"
#include "console/console.h"
#include "dialogue/driver.h"
#include "hearing/hearing.h"
#include "live/live_play.h"
#include "live/midi_source.h"
#include "measure/measure.h"
#include "retuner/retuner.h"
#include "platform/platform.h"
#include "retune/method.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

// Rows of kOptions, in table order.
enum OptionRow {
    ROW_HELP,
    ROW_VERSION,
    ROW_LIST_MIDI_IN,
    ROW_MIDI_IN,
    ROW_MEASURE,
    ROW_AUDIO_IN,
    ROW_LIST_AUDIO_IN,
    ROW_VOICE,
    ROW_JSON,
    ROW_PLOT,
    ROW_RETUNE,
    ROW_SCALE,
    ROW_KBM,
    ROW_HZ,
    ROW_WHEEL_RANGE,
    ROW_CALIBRATE,
    ROW_NO_CALIBRATION,
    ROW_LIST_CALIBRATIONS,
    ROW_METHOD,
    ROW_COUNT
};

const OptionSpec kOptions[] = {
    {"--help", nullptr, "print this help and exit"},
    {"--version", nullptr, "print the program's name and version and exit"},
    {"--list-midi-in", nullptr, "list the MIDI sources --midi-in can read, numbered, and exit"},
    {"--midi-in", "PORT", "play the keyboard and percussion tests from a MIDI keyboard too"},
    {"--measure", "DEVICE", "measure the tuning of a device of the menu (its number or name) and exit"},
    {"--audio-in", "SOURCE", "the device's sound to measure: a JACK port or client, an ALSA or PulseAudio input"},
    {"--list-audio-in", nullptr, "list the audio sources --audio-in takes and exit"},
    {"--voice", "NAME", "the General MIDI voice to measure with (default: Reed Organ)"},
    {"--json", "FILE", "also write the measurement to FILE as JSON"},
    {"--plot", "FILE.svg", "also draw the measurement as an SVG chart"},
    {"--retune", "DEVICE", "play --midi-in through the retuning into a device of the menu until stopped"},
    {"--scale", "SCALE", "the retuner's scale: a .scl file or scale text (default: 12 equal steps)"},
    {"--kbm", "FILE.kbm", "a Scala keyboard mapping for the retuner and the key loops' MIDI input"},
    {"--hz", "F", "the retuner's 1/1 in Hz (default: the mapping's reference, else middle C)"},
    {"--wheel-range", "SEMITONES", "the retuner's pitch-wheel range (default: 2)"},
    {"--calibrate", "DEVICE", "measure a device as --measure does and keep it as its calibration"},
    {"--no-calibration", nullptr, "play every device as it is, ignoring its calibration"},
    {"--list-calibrations", nullptr, "list the kept calibrations and exit"},
    {"--method", "bend|mts|mpe|auto", "how notes are retuned: pitch bend (default), MIDI Tuning Standard, MPE, or auto"},
};
static_assert(sizeof kOptions / sizeof kOptions[0] == ROW_COUNT, "one row per OptionRow");

const char* const kAbout =
    "Leads you through listening tests of microtonal playback on a General MIDI\n"
    "synthesizer: a chord, a scale, a drifting harmonic series, playing from the\n"
    "keyboard, percussion, and a test of the synthesizer's pitch-bend range.\n"
    "It takes no arguments besides the options below: the device, the tunings\n"
    "and the instruments are chosen at its prompts.\n"
    "\n"
    "With --measure it plays to a device and listens to its sound instead: how\n"
    "far each key is off, the pitch-bend range each channel really uses, and how\n"
    "close Varenta's tunings land (Linux only). The built-in synthesizer needs\n"
    "no --audio-in: it is measured from its own offline render. --calibrate\n"
    "measures the same way and keeps what it found as the device's calibration:\n"
    "from then on every run plays through it, in tune on that synthesizer.\n"
    "--voice may be given several times there, or as \"all\".\n"
    "\n"
    "--method chooses how notes reach a MIDI port: a pitch bend per channel, as\n"
    "every General MIDI synthesizer takes (bend); a Single Note Tuning Change of\n"
    "the MIDI Tuning Standard per key, every note on one channel (mts); an MPE\n"
    "zone of 15 member channels bent over 48 semitones (mpe); or mts where the\n"
    "device's calibration found it obeyed, else bend (auto).\n";

const char* const kMidiIn =
    "MIDI input: with --midi-in PORT the keyboard and percussion tests also play\n"
    "from a MIDI keyboard: key 60 plays the 1/1, each key above or below it the\n"
    "next scale degree, at the velocity played, with the sustain pedal. PORT is a\n"
    "number or part of a name from --list-midi-in, or \"virtual\" for the\n"
    "program's own input port alone, where the system has ports of its own.\n";

// A text assembled before it is written in one piece; long enough for the
// help with a few dozen options.
struct Text {
    char bytes[8192];  // the text, always terminated
    size_t length;     // bytes in use, 0 .. sizeof bytes - 1
};

void append(Text* text, const char* format, ...) __attribute__((format(printf, 2, 3)));

void append(Text* text, const char* format, ...)
{
    size_t room = sizeof text->bytes - text->length;
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(text->bytes + text->length, room, format, args);
    va_end(args);
    if (n > 0)
        text->length += static_cast<size_t>(n) < room ? static_cast<size_t>(n) : room - 1;
}

// "[--help] [--version]": each option, with its value name where it takes one.
void append_synopsis(Text* text)
{
    append(text, "%s", PROGRAM_NAME);
    for (const OptionSpec& option : kOptions) {
        if (option.value_name != nullptr)
            append(text, " [%s %s]", option.name, option.value_name);
        else
            append(text, " [%s]", option.name);
    }
}

void append_help(Text* text)
{
    append(text, "Usage: ");
    append_synopsis(text);
    append(text, "\n\n%s\nOptions:\n", kAbout);
    for (const OptionSpec& option : kOptions) {
        char left[64];
        std::snprintf(left, sizeof left, "%s%s%s", option.name, option.value_name ? " " : "",
                      option.value_name ? option.value_name : "");
        append(text, "  %-22s %s\n", left, option.help);
    }
    append(text, "\n%s\n%s\n%s", PLATFORM_DEVICE_HELP, kMidiIn, PLATFORM_DOCUMENTATION_HELP);
}

void append_usage_error(Text* text, const ProgramOptions& options)
{
    const char* argument = options.bad_argument != nullptr ? options.bad_argument : "";
    append(text, "%s: ", PROGRAM_NAME);
    switch (options.error) {
    case OPTION_NOT_AN_OPTION:
        append(text, "unexpected argument '%s'", argument);
        break;
    case OPTION_NEEDS_VALUE:
        append(text, "option '%s' needs a value", argument);
        break;
    case OPTION_TAKES_NO_VALUE:
        append(text, "option '%.*s' takes no value", static_cast<int>(std::strcspn(argument, "=")), argument);
        break;
    case OPTION_NEEDS_MEASURE:
        append(text, "option '%.*s' goes with --measure", static_cast<int>(std::strcspn(argument, "=")), argument);
        break;
    case OPTION_NEEDS_RETUNE:
        append(text, "option '%.*s' goes with --retune", static_cast<int>(std::strcspn(argument, "=")), argument);
        break;
    case OPTION_NEEDS_MIDI_IN:
        append(text, "option '%.*s' needs --midi-in PORT", static_cast<int>(std::strcspn(argument, "=")), argument);
        break;
    case OPTION_BAD_METHOD:
        append(text, "option '--method' takes bend, mts, mpe or auto, not '%s'", argument);
        break;
    case OPTION_TWO_MODES: {
        const char* modes[3];
        int n = 0;
        if (options.retune_device != nullptr)
            modes[n++] = "--retune";
        if (options.measure_device != nullptr)
            modes[n++] = "--measure";
        if (options.calibrate_device != nullptr)
            modes[n++] = "--calibrate";
        append(text, "%s and %s cannot run together", modes[0], n > 1 ? modes[1] : "");
        break;
    }
    default:
        append(text, "unknown option '%s'", argument);
        break;
    }
    append(text, "; usage: ");
    append_synopsis(text);
    append(text, "\n");
}

}  // namespace

OptionMatch match_option(int argc, const char* const* argv, int index, const OptionSpec* table, int count)
{
    OptionMatch match = {-1, nullptr, index + 1, OPTION_OK};
    const char* argument = argv[index];
    if (argument[0] != '-' || argument[1] == '\0') {
        match.error = OPTION_NOT_AN_OPTION;
        return match;
    }
    size_t name_length = std::strcspn(argument, "=");
    for (int row = 0; row < count; ++row) {
        const OptionSpec& option = table[row];
        if (std::strlen(option.name) != name_length || std::strncmp(option.name, argument, name_length) != 0)
            continue;
        match.row = row;
        if (argument[name_length] == '=') {
            if (option.value_name == nullptr)
                match.error = OPTION_TAKES_NO_VALUE;
            else
                match.value = argument + name_length + 1;
        } else if (option.value_name != nullptr) {
            if (index + 1 >= argc) {
                match.error = OPTION_NEEDS_VALUE;
            } else {
                match.value = argv[index + 1];
                match.next = index + 2;
            }
        }
        if (match.error != OPTION_OK)
            match.row = -1;
        return match;
    }
    match.error = OPTION_UNKNOWN;
    return match;
}

ProgramOptions parse_options(int argc, const char* const* argv)
{
    ProgramOptions options = ProgramOptions();
    options.action = ACTION_RUN;
    options.error = OPTION_OK;
    const char* needs_measure = nullptr;  // the first option given that goes with --measure
    const char* needs_retune = nullptr;   // the first option given that goes with --retune
    const char* measure_only = nullptr;   // the first of them but --voice, which also goes with --retune
    const char* kbm_option = nullptr;     // --kbm as given, which needs --midi-in
    bool list_audio = false;
    for (int index = 1; index < argc;) {
        OptionMatch match = match_option(argc, argv, index, kOptions, ROW_COUNT);
        if (match.error != OPTION_OK) {
            options.action = ACTION_USAGE_ERROR;
            options.error = match.error;
            options.bad_argument = argv[index];
            return options;
        }
        switch (match.row) {
        case ROW_HELP:
            options.action = ACTION_HELP;
            return options;
        case ROW_VERSION:
            options.action = ACTION_VERSION;
            return options;
        case ROW_LIST_MIDI_IN:
            options.action = ACTION_LIST_MIDI_IN;
            return options;
        case ROW_MIDI_IN:
            options.midi_in = match.value;
            break;
        case ROW_MEASURE:
            options.measure_device = match.value;
            break;
        case ROW_LIST_AUDIO_IN:
            list_audio = true;
            break;
        case ROW_AUDIO_IN:
            options.audio_in = match.value;
            break;
        case ROW_VOICE:
            options.voice = match.value;
            if (options.voice_count < MAX_VOICE_OPTIONS)
                options.voices[options.voice_count++] = match.value;
            break;
        case ROW_JSON:
            options.json_path = match.value;
            break;
        case ROW_PLOT:
            options.plot_path = match.value;
            break;
        case ROW_RETUNE:
            options.retune_device = match.value;
            break;
        case ROW_SCALE:
            options.scale = match.value;
            break;
        case ROW_KBM:
            options.kbm_path = match.value;
            kbm_option = argv[index];
            break;
        case ROW_HZ:
            options.hz = match.value;
            break;
        case ROW_WHEEL_RANGE:
            options.wheel_range = match.value;
            break;
        case ROW_CALIBRATE:
            options.calibrate_device = match.value;
            break;
        case ROW_NO_CALIBRATION:
            options.no_calibration = true;
            break;
        case ROW_LIST_CALIBRATIONS:
            options.action = ACTION_LIST_CALIBRATIONS;
            return options;
        case ROW_METHOD: {
            TuningMethod method;
            if (!tuning_method_from_text(match.value, &method)) {
                options.action = ACTION_USAGE_ERROR;
                options.error = OPTION_BAD_METHOD;
                options.bad_argument = match.value;
                return options;
            }
            options.method = match.value;
            break;
        }
        }
        if (match.row >= ROW_AUDIO_IN && match.row <= ROW_PLOT && match.row != ROW_LIST_AUDIO_IN) {
            if (needs_measure == nullptr)
                needs_measure = argv[index];
            if (match.row != ROW_VOICE && measure_only == nullptr)
                measure_only = argv[index];
        }
        if ((match.row == ROW_SCALE || match.row == ROW_HZ || match.row == ROW_WHEEL_RANGE) && needs_retune == nullptr)
            needs_retune = argv[index];
        index = match.next;
    }
    const char* usage_fault = nullptr;  // the argument refused by the checks below
    OptionError fault = OPTION_OK;
    const int modes = (options.measure_device != nullptr) + (options.retune_device != nullptr) +
                      (options.calibrate_device != nullptr);
    if (list_audio) {
        options.action = ACTION_LIST_AUDIO;
    } else if (modes > 1) {
        fault = OPTION_TWO_MODES;
        usage_fault = options.retune_device != nullptr ? "--retune" : "--measure";
    } else if (options.measure_device != nullptr || options.calibrate_device != nullptr) {
        options.action = options.measure_device != nullptr ? ACTION_MEASURE : ACTION_CALIBRATE;
        if (needs_retune != nullptr || kbm_option != nullptr) {
            fault = OPTION_NEEDS_RETUNE;
            usage_fault = needs_retune != nullptr ? needs_retune : kbm_option;
        }
    } else if (options.retune_device != nullptr) {
        options.action = ACTION_RETUNE;
        if (measure_only != nullptr) {
            fault = OPTION_NEEDS_MEASURE;
            usage_fault = measure_only;
        } else if (options.midi_in == nullptr) {
            fault = OPTION_NEEDS_MIDI_IN;
            usage_fault = "--retune";
        }
    } else if (needs_measure != nullptr) {
        fault = OPTION_NEEDS_MEASURE;
        usage_fault = needs_measure;
    } else if (needs_retune != nullptr) {
        fault = OPTION_NEEDS_RETUNE;
        usage_fault = needs_retune;
    } else if (kbm_option != nullptr && options.midi_in == nullptr) {
        fault = OPTION_NEEDS_MIDI_IN;
        usage_fault = kbm_option;
    }
    if (fault != OPTION_OK) {
        options.action = ACTION_USAGE_ERROR;
        options.error = fault;
        options.bad_argument = usage_fault;
    }
    return options;
}

int run_option_action(const ProgramOptions& options)
{
    static Text text;
    text.length = 0;
    text.bytes[0] = '\0';
    ignore_calibrations(options.no_calibration);
    TuningMethod method = METHOD_BEND;
    if (options.method != nullptr)
        tuning_method_from_text(options.method, &method);
    set_tuning_method(method);
    switch (options.action) {
    case ACTION_HELP:
        append_help(&text);
        platform_console_write(text.bytes, text.length);
        return 0;
    case ACTION_VERSION:
        append(&text, "%s %s\n", PROGRAM_NAME, VARENTA_VERSION);
        platform_console_write(text.bytes, text.length);
        return 0;
    case ACTION_LIST_MIDI_IN:
        list_midi_sources();
        return 0;
    case ACTION_USAGE_ERROR:
        append_usage_error(&text, options);
        platform_console_write_error(text.bytes, text.length);
        return 2;
    case ACTION_LIST_AUDIO:
        return list_audio_sources();
    case ACTION_MEASURE: {
        MeasureRequest request = {options.measure_device, options.audio_in, options.voice, options.json_path,
                                  options.plot_path};
        return run_measure(request);
    }
    case ACTION_LIST_CALIBRATIONS:
        return list_calibrations();
    case ACTION_CALIBRATE: {
        CalibrateRequest request = {options.calibrate_device, options.audio_in, options.voices, options.voice_count,
                                    options.json_path, options.plot_path};
        return run_calibrate(request);
    }
    case ACTION_RETUNE: {
        RetuneRequest request = {options.retune_device, options.midi_in, options.scale, options.kbm_path,
                                 options.voice, options.hz, options.wheel_range};
        return run_retune(request);
    }
    case ACTION_RUN:
        // Opened before anything is printed, so that a PORT that cannot be
        // had ends the program with one line on the error stream and nothing
        // else.
        if (options.kbm_path != nullptr) {
            int status = live_use_keyboard_map(options.kbm_path);
            if (status != 0)
                return status;
        }
        if (options.midi_in != nullptr) {
            int status = open_midi_input(options.midi_in);
            if (status != 0)
                return status;
        }
        return run_program();
    default:
        return 0;
    }
}
