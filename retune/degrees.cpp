// Playing scale degrees and percussion, and the report; see degrees.h.
#include "retune/degrees.h"

#include "console/console.h"
#include "midi/channel.h"
#include "retune/channel_choice.h"
#include "retune/method.h"
#include "retune/notes.h"
#include "tuning/scale.h"

#include <cmath>

namespace {

constexpr int PERCUSSION_RELEASE_VELOCITY = 127;
constexpr double SMALLEST_RATIO = 1e-50;  // the report's logarithm stays finite

}  // namespace

void prepare_degree_with_flags(int flags, int degree)
{
    if (tuning_method() == METHOD_MTS)
        return;  // keys are retuned as their notes start, channels never bent
    const double frequency = reference_pitch() * current_degree_ratio(degree);
    int channel;
    int midi_note;
    double bend;
    choose_channel(flags, frequency, &channel, &midi_note, &bend);
    if (channel >= 0)
        set_pitch_bend(port_handle(), channel, bend);
}

void prepare_degree(int degree) { prepare_degree_with_flags(0, degree); }

void prepare_degree_avoid_newest(int degree) { prepare_degree_with_flags(CHOOSE_AVOID_NEWEST, degree); }

void play_degree(int degree, int velocity) { play_degree_note(degree, velocity); }

uint32_t play_degree_note(int degree, int velocity)
{
    if (!scale_is_set())
        set_scale("");
    const double ratio = current_degree_ratio(degree);
    return play_frequency_note(degree, ratio, reference_pitch() * ratio, 0, velocity);
}

uint32_t play_frequency_note(int key, double ratio, double frequency_hz, uint32_t excluded, int velocity,
                             int* channel_used)
{
    if (channel_used != nullptr)
        *channel_used = -1;
    // Checked before the choice: a full table must not steal a channel for a
    // note that cannot be recorded.
    if (note_table().count >= NOTE_TABLE_CAPACITY)
        return 0;
    if (tuning_method() == METHOD_MTS) {
        // The key's tuning change goes first, so the note starts in tune.
        const int midi_note = mts_key_for(note_of_frequency(frequency_hz));
        note_on(port_handle(), MTS_CHANNEL, midi_note, velocity);
        if (channel_used != nullptr)
            *channel_used = MTS_CHANNEL;
        return add_note_serial(key, ratio, MTS_CHANNEL, midi_note);
    }
    int channel;
    int midi_note;
    double bend;
    choose_channel_excluding(CHOOSE_STEAL, frequency_hz, excluded, &channel, &midi_note, &bend);
    if (channel < 0)
        return 0;  // cannot happen: at least fifteen channels can be stolen
    set_pitch_bend(port_handle(), channel, bend);  // before the note, so it starts in tune
    note_on(port_handle(), channel, midi_note, velocity);
    if (channel_used != nullptr)
        *channel_used = channel;
    return add_note_serial(key, ratio, channel, midi_note);
}

// Ends entry index of the notes in play: its note-off, its removal and, for a
// melodic note, the stamp that makes its channel the most recently used.
static void end_entry(int index, int velocity)
{
    const NoteEntry e = note_table().entries[index];
    note_off(port_handle(), e.channel, e.midi_note, velocity);
    remove_note(index);
    if (e.channel >= 0 && e.channel < MAX_CHANNELS && e.channel != PERCUSSION_CHANNEL)
        channel_state(e.channel).last_use_ms = platform_clock_ms();
}

void release_degree(int degree, int velocity)
{
    const NoteTable& table = note_table();
    for (int i = 0; i < table.count; ++i) {
        const NoteEntry e = table.entries[i];
        if (e.key != degree || e.channel == PERCUSSION_CHANNEL)
            continue;
        end_entry(i, velocity);
        return;
    }
}

bool release_note(uint32_t serial, int velocity)
{
    int index = find_note_serial(serial);
    if (index < 0)
        return false;
    end_entry(index, velocity);
    return true;
}

void play_percussion(int key, int velocity) { play_percussion_note(key, velocity); }

uint32_t play_percussion_note(int key, int velocity)
{
    note_on(port_handle(), PERCUSSION_CHANNEL, key, velocity);
    return add_note_serial(key, 1.0, PERCUSSION_CHANNEL, key);
}

void release_percussion(int key)
{
    const NoteTable& table = note_table();
    for (int i = 0; i < table.count;) {
        const NoteEntry& e = table.entries[i];
        if (e.key == key && e.channel == PERCUSSION_CHANNEL) {
            note_off(port_handle(), PERCUSSION_CHANNEL, key, PERCUSSION_RELEASE_VELOCITY);
            remove_note(i);  // the next entry moves into place i
        } else {
            ++i;
        }
    }
}

void report_notes_in_play()
{
    console_printf("These are the notes in play for each channel:\n\nEach note shows:\n"
                   "Interval from 1/1 in cents (Scale degree) Midi note]\n");
    const NoteTable& table = note_table();
    for (int c = 0; c < channel_count(); ++c) {
        bool first = true;
        for (int i = 0; i < table.count; ++i) {
            const NoteEntry& e = table.entries[i];
            if (e.channel != c)
                continue;
            if (first) {
                console_printf("\nChann:, %d: pitch bend %g cents, playing: ", c,
                               bend_cents_in_effect(c, channel_state(c).bend));
                first = false;
            } else {
                console_printf(", ");
            }
            const double ratio = e.ratio < SMALLEST_RATIO ? SMALLEST_RATIO : e.ratio;
            if (tuning_method() == METHOD_MTS && c != PERCUSSION_CHANNEL)
                console_printf("%g (%d) [%d tuned %+.2f c]", 1200.0 * std::log2(ratio), e.key, e.midi_note,
                               mts_key_cents(e.midi_note));
            else
                console_printf("%g (%d) [%d]", 1200.0 * std::log2(ratio), e.key, e.midi_note);
        }
    }
    console_printf("\n");
}
