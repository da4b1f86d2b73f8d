// The retuner's run: arguments checked before anything plays, the device and
// the input opened, the header, the loop and its ending; see retuner.h.
//
// The loop runs on the main thread, as the key loops do: it takes every
// message queued, plays it at once, and waits on the input's wake-up (or at
// most 100 ms, for the status line and to notice an input that went away).
#include "retuner/retuner.h"

#include "console/console.h"
#include "live/midi_source.h"
#include "midi/channel.h"
#include "midi/device.h"
#include "platform/end_request.h"
#include "platform/platform.h"
#include "retune/method.h"
#include "retune/notes.h"
#include "retuner/gestures.h"
#include "tuning/keyboard_map.h"
#include "tuning/scala_file.h"
#include "tuning/scale.h"
#include "voices/voices.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint32_t kStatusEveryMs = 100;    // a status line at most ten times a second
constexpr double kDefaultWheelRange = 2.0;  // semitones
constexpr double kMaxWheelRange = 24.0;

struct SessionState {
    KeyboardMap map;             // the --kbm mapping, when one was given
    bool terminal;               // standard output is a terminal: the status line is drawn
    uint32_t last_status_ms;     // clock when the status line was last drawn
    uint32_t sent_at_start;      // messages_sent() when the retuner began
    char scale_line[600];        // the header's description of the scale
} state;

// A positive finite number in the "C" locale's notation, wholly; false else.
bool positive_number(const char* text, double* value)
{
    if (text == nullptr || *text == '\0' || std::strchr(text, ',') != nullptr)
        return false;
    char* end = nullptr;
    *value = std::strtod(text, &end);
    return end != nullptr && *end == '\0' && *value > 0.0 && std::isfinite(*value);
}

// Installs the scale: a Scala file when SCALE reads as one, else scale text.
// Returns false, after one line on the error stream, for a file it cannot use.
bool install_scale(const char* scale)
{
    if (scale == nullptr) {
        set_scale("");
        std::snprintf(state.scale_line, sizeof state.scale_line, "12 equal steps to the octave, 12 pitches");
        return true;
    }
    const ScalaStatus status = read_scala_file(scale);
    const size_t length = std::strlen(scale);
    const bool named_scl = length >= 4 && equals_nocase(scale + length - 4, ".scl");
    if (status == SCALA_OK) {
        const ScalaFile& file = scala_file();
        set_scale(file.scale_text);
        std::snprintf(state.scale_line, sizeof state.scale_line, "%s, %d pitches",
                      file.description[0] != '\0' ? file.description : scale, file.pitch_count);
        return true;
    }
    if (status != SCALA_FILE_MISSING || named_scl) {
        const ScalaFile& file = scala_file();
        if (file.line > 0)
            error_printf("%s: %s, line %d: not a Scala scale file ('%s')\n", PROGRAM_NAME, scale, file.line,
                         file.token);
        else
            error_printf("%s: %s: no such file, or it cannot be read\n", PROGRAM_NAME, scale);
        return false;
    }
    set_scale(scale);
    std::snprintf(state.scale_line, sizeof state.scale_line, "%s, %d pitches", kept_scale_text(),
                  scale_size() > 1 ? scale_size() - 1 : 1);
    return true;
}

void print_header(const RetuneRequest& request, const char* device, double wheel_range)
{
    console_printf("Retuning MIDI input %s into %s\n", request.midi_in, device);
    console_printf("Scale: %s\n", state.scale_line);
    const KeyboardMap& m = state.map;
    if (request.kbm != nullptr) {
        console_printf("Mapping: %s: %d keys%s, keys %d-%d, middle key %d, key %d = %g Hz, formal octave %s%d\n",
                       request.kbm, m.map_size, m.map_size == 0 ? " (linear)" : "", m.first_key, m.last_key,
                       m.middle_key, m.reference_key, m.reference_hz, m.octave_degree == 0 ? "the period, degree " : "degree ",
                       m.octave_degree == 0 ? scale_size() - 1 : m.octave_degree);
    } else {
        console_printf("Mapping: linear, key 60 plays the 1/1, each key the next degree\n");
    }
    console_printf("1/1 = %.3f Hz; pitch wheel +-%g semitones. Ctrl-C ends.\n", reference_pitch(), wheel_range);
}

void draw_status(bool final_line)
{
    const RetunerCounts& c = retuner_counts();
    char line[200];
    int n = std::snprintf(line, sizeof line, "\r%4d notes sounding, %2d channels, %u stole a channel, %u in, %u out   %s",
                          note_table().count, retuner_channels_in_use(), c.steals, c.messages_in,
                          messages_sent() - state.sent_at_start, final_line ? "\n" : "");
    if (n > 0)
        platform_console_write(line, static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1);
}

// Plays what the input sends until a request to end (EndRequested) or until
// the input goes away (returns).
void play_until_the_end()
{
    platform_midi_in_listen(true);
    for (;;) {
        uint32_t message;
        while (platform_midi_in_take(&message))
            retuner_play_message(message);
        stop_if_asked();
        if (state.terminal && platform_clock_ms() - state.last_status_ms >= kStatusEveryMs) {
            state.last_status_ms = platform_clock_ms();
            draw_status(false);
        }
        if (platform_midi_in_gone())
            return;
        platform_midi_in_wait(kStatusEveryMs);
    }
}

}  // namespace

int run_retune(const RetuneRequest& request)
{
    retuner_session_reset();
    double hz = 0.0;
    if (request.hz != nullptr && !positive_number(request.hz, &hz)) {
        error_printf("%s: --hz '%s' is not a frequency in Hz above 0\n", PROGRAM_NAME, request.hz);
        return 2;
    }
    double wheel_range = kDefaultWheelRange;
    if (request.wheel_range != nullptr &&
        (!positive_number(request.wheel_range, &wheel_range) || wheel_range > kMaxWheelRange)) {
        error_printf("%s: --wheel-range '%s' is not a number of semitones above 0, at most 24\n", PROGRAM_NAME,
                     request.wheel_range);
        return 2;
    }
    if (request.kbm != nullptr && read_keyboard_map(request.kbm, &state.map) != KBM_OK) {
        char reason[1400];
        keyboard_map_refusal(state.map, request.kbm, reason, sizeof reason);
        error_printf("%s: %s\n", PROGRAM_NAME, reason);
        return 2;
    }
    init_device_catalogue();
    const int device = find_device(request.device);
    if (device < 0) {
        char name[1024];
        error_printf("%s: no device '%s' (or more than one); the devices are:\n", PROGRAM_NAME, request.device);
        for (int i = 0; i < device_count(); ++i)
            error_printf("  %d  %s\n", i + 1, device_name(i, name, sizeof name));
        return 2;
    }
    if (!install_scale(request.scale))
        return 2;
    int program = -1;
    if (request.voice != nullptr) {
        char voice[100];
        program = find_voice(request.voice, voice, sizeof voice);
    }
    const int input_status = open_midi_input(request.midi_in);
    if (input_status != 0)
        return input_status;

    char device_text[1024];
    device_name(device, device_text, sizeof device_text);
    platform_watch_end_requests();
    int status = 0;
    int request_to_end = 0;
    bool played = false;
    try {
        if (open_device(device) == 0) {
            error_printf("%s: cannot open '%s'\n", PROGRAM_NAME, device_text);
            status = 1;
        } else {
            tune_opened_device(device_text);
            if (program >= 0)
                set_program_all(program);
            // The channels' bends are unknown after the open: the scale
            // pre-tunes them now, for the device that is open.
            install_scale(request.scale);
            const ScaleTable& table = scale_table();
            if (hz <= 0.0 && request.kbm != nullptr)
                hz = keyboard_map_one_one_hz(state.map, table.entries, table.count);
            set_reference_pitch(hz);
            retuner_begin(request.kbm != nullptr ? &state.map : nullptr, wheel_range);
            state.terminal = platform_console_is_terminal();
            state.sent_at_start = messages_sent();
            state.last_status_ms = platform_clock_ms() - kStatusEveryMs;
            print_header(request, device_text, wheel_range);
            played = true;
            play_until_the_end();
            if (state.terminal)
                draw_status(true);
            error_printf("%s: the MIDI input %s has gone away\n", PROGRAM_NAME, request.midi_in);
            status = 1;
        }
    } catch (const EndRequested& asked) {
        request_to_end = asked.request;
        if (state.terminal)
            draw_status(true);
    }
    // Whatever ended the retuner, no note is left sounding.
    platform_midi_in_listen(false);
    retuner_end_notes();
    end_every_note();
    close_device();
    close_midi_input();
    if (played) {
        const RetunerCounts& c = retuner_counts();
        console_printf("Retuned %u notes (%u messages in, %u out); %u stole a channel; at most %u at once.\n",
                       c.notes_started, c.messages_in, messages_sent() - state.sent_at_start, c.steals,
                       c.most_sounding);
    }
    if (request_to_end != 0)
        platform_end_by_request(request_to_end);
    return status;
}

void retuner_session_reset()
{
    state = SessionState();
    retuner_reset();
}
