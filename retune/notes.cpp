// The notes-in-play table; see notes.h.
//
// Fixed storage and linear scans: the table is small enough that a scan costs
// a few microseconds at worst, and the order of entries (oldest first) is what
// every search and release relies on.
#include "retune/notes.h"

#include "midi/channel.h"

namespace {

struct NotesState {
    NoteTable table;       // the notes in play, oldest first; count 0 at start
    uint32_t last_serial;  // serial of the last entry added, 0 before the first; wraps, skipping 0
} state;

}  // namespace

const NoteTable& note_table() { return state.table; }

void notes_reset() { state = NotesState(); }

int add_note(int key, double ratio, int channel, int midi_note)
{
    add_note_serial(key, ratio, channel, midi_note);
    return state.table.count;
}

uint32_t add_note_serial(int key, double ratio, int channel, int midi_note)
{
    NoteTable& t = state.table;
    if (t.count >= NOTE_TABLE_CAPACITY)
        return 0;
    // A serial comes round again only after 2^32 notes, long after the note
    // that had it has ended.
    if (++state.last_serial == 0)
        state.last_serial = 1;
    t.entries[t.count++] = NoteEntry{key, ratio, channel, midi_note, state.last_serial};
    return state.last_serial;
}

int find_note_serial(uint32_t serial)
{
    const NoteTable& t = state.table;
    for (int i = 0; serial != 0 && i < t.count; ++i) {
        if (t.entries[i].serial == serial)
            return i;
    }
    return -1;
}

void remove_note(int index)
{
    NoteTable& t = state.table;
    if (index < 0 || index >= t.count)
        return;
    for (int i = index + 1; i < t.count; ++i)
        t.entries[i - 1] = t.entries[i];
    --t.count;
}

bool find_note(int key, int channel, int midi_note, int* index)
{
    const NoteTable& t = state.table;
    for (int i = 0; i < t.count; ++i) {
        const NoteEntry& e = t.entries[i];
        if ((key < 0 || e.key == key) && (channel < 0 || e.channel == channel) &&
            (midi_note < 0 || e.midi_note == midi_note)) {
            if (index != nullptr)
                *index = i;
            return true;
        }
    }
    return false;
}

uint32_t channels_sounding_note(int midi_note)
{
    const NoteTable& t = state.table;
    uint32_t channels = 0;
    for (int i = 0; i < t.count; ++i) {
        const NoteEntry& e = t.entries[i];
        if (e.midi_note == midi_note && e.channel >= 0 && e.channel < MAX_CHANNELS)
            channels |= 1u << e.channel;
    }
    return channels;
}

void release_all_notes(int velocity)
{
    NoteTable& t = state.table;
    for (int i = 0; i < t.count; ++i)
        note_off(port_handle(), t.entries[i].channel, t.entries[i].midi_note, velocity);
    t.count = 0;
}

void release_channel_notes(int velocity, int channel)
{
    // One pass that sends the note-offs in table order and closes the gaps as
    // it goes: the same messages and the same surviving order as removing the
    // entries one by one, without moving the tail once per removal.
    NoteTable& t = state.table;
    int kept = 0;
    for (int i = 0; i < t.count; ++i) {
        const NoteEntry e = t.entries[i];
        if (channel < 0 || e.channel == channel)
            note_off(port_handle(), e.channel, e.midi_note, velocity);
        else
            t.entries[kept++] = e;
    }
    t.count = kept;
}

void end_every_note()
{
    release_all_notes(127);
    release_held_notes(127);
}
