// The General MIDI voice catalogue; see voices.h.
#include "voices/voices.h"

#include "console/console.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

const char* const voice_names[VOICE_COUNT] = {
    // Pianos, chromatic percussion
    "Acoustic Grand Piano", "Bright Acoustic Piano", "Electric Grand Piano", "Honky-tonk Piano",
    "Rhodes Piano", "Chorused Piano", "Harpsichord", "Clavinet",
    "Celesta", "Glockenspiel", "Music Box", "Vibraphone", "Marimba", "Xylophone", "Tubular Bells", "Dulcimer",
    // Organs, guitars, basses
    "Hammond Organ", "Percussive Organ", "Rock Organ", "Church Organ", "Reed Organ", "Accordian", "Harmonica",
    "Tango Accordian",
    "Acoustic Guitar (nylon)", "Acoustic Guitar (steel)", "Electric Guitar (jazz)", "Electric Guitar (clean)",
    "Electric Guitar (muted)", "Overdriven Guitar", "Distortion Guitar", "Guitar Harmonics",
    "Acoustic Bass", "Electric Bass (finger)", "Electric Bass (pick)", "Fretless Bass", "Slap Bass 1",
    "Slap Bass 2", "Synth Bass 1", "Synth Bass 2",
    // Strings, ensembles, brass, reeds, pipes
    "Violin", "Viola", "Cello", "Contrabass", "Tremolo Strings", "Pizzicato Strings", "Orchestral Harp", "Timpani",
    "String Ensemble 1", "String Ensemble 2", "Synth Strings 1", "Synth Strings 2", "Choir Aahs", "Voice Oohs",
    "Synth Voice", "Orchestra Hit",
    "Trumpet", "Trombone", "Tuba", "Muted Trumpet", "French Horn", "Brass Section", "Synth Brass 1",
    "Synth Brass 2",
    "Soprano Sax", "Alto Sax", "Tenor Sax", "Baritone Sax", "Oboe", "Cor Anglais (English Horn)", "Bassoon",
    "Clarinet",
    "Piccolo", "Flute", "Recorder", "Pan Flute", "Bottle Blow", "Shakuhachi", "Whistle", "Ocarina",
    // Synth leads, pads, effects
    "Lead 1 (square)", "Lead 2 (sawtooth)", "Lead 3 (caliope lead)", "Lead 4 (chiff lead)", "Lead 5 (charang)",
    "Lead 6 (voice)", "Lead 7 (fifths)", "Lead 8 (brass + lead)",
    "Pad 1 (new age)", "Pad 2 (warm)", "Pad 3 (polysynth)", "Pad 4 (choir)", "Pad 5 (bowed)", "Pad 6 (metallic)",
    "Pad 7 (halo)", "Pad 8 (sweep)",
    "FX 1 (rain)", "FX 2 (soundtrack)", "FX 3 (crystal)", "FX 4 (atmosphere)", "FX 5 (brightness)",
    "FX 6 (goblins)", "FX 7 (echoes)", "FX 8 (sci-fi)",
    // Ethnic, percussive, sound effects
    "Sitar", "Banjo", "Shamisen", "Koto", "Kalimba", "Bagpipe", "Fiddle", "Shanai",
    "Tinkle Bell", "Agogo", "Steel Drums", "Woodblock", "Taiko Drum", "Melodic Tom", "Synth Drum", "Reverse Cymbal",
    "Guitar Fret Noise", "Breath Noise", "Seashore", "Bird Tweet", "Telephone Ring", "Helicopter", "Applause",
    "Gunshot",
};
static_assert(sizeof voice_names / sizeof voice_names[0] == 128, "one name per General MIDI program");

namespace {

constexpr int kTypedLimit = 100;  // typed text beyond this many bytes is ignored

bool is_white(char c) { return is_white_space(static_cast<unsigned char>(c)); }

// The name at position i is a word start: the first byte, or after white space.
bool word_starts(const char* name, int i) { return i == 0 || is_white(name[i - 1]); }

// The four passes in order of preference; each returns the program or -1.
int exact_match(const char* text)
{
    for (int p = 0; p < VOICE_COUNT; ++p) {
        if (equals_nocase(voice_names[p], text))
            return p;
    }
    return -1;
}

enum class Fit { WholeWord, WordStart, Anywhere };

int prefix_match(const char* text, Fit fit)
{
    int length = static_cast<int>(std::strlen(text));
    for (int p = 0; p < VOICE_COUNT; ++p) {
        const char* name = voice_names[p];
        for (int i = 0; name[i] != '\0'; ++i) {
            if (compare_prefix_nocase(name + i, text) != 0)
                continue;
            if (fit != Fit::Anywhere && !word_starts(name, i))
                continue;
            // A matched prefix lies within the name, so name[i + length] is in bounds.
            if (fit == Fit::WholeWord && name[i + length] != '\0' && !is_white(name[i + length]))
                continue;
            return p;
        }
    }
    return -1;
}

// The leading integer of text (optional sign, digits), held to 0..127.
int typed_program(const char* text)
{
    long value = std::strtol(text, nullptr, 10);  // saturates on overflow
    return value < 0 ? 0 : (value > 127 ? 127 : static_cast<int>(value));
}

void copy_name(const char* source, char* destination, int size)
{
    if (destination == nullptr || size < 1)
        return;
    size_t n = std::strlen(source);
    if (n > static_cast<size_t>(size - 1))
        n = static_cast<size_t>(size - 1);
    std::memcpy(destination, source, n);
    destination[n] = '\0';
}

}  // namespace

int compare_prefix_nocase(const char* text, const char* prefix)
{
    if (text == nullptr || prefix == nullptr)
        return 0;
    for (int i = 0; prefix[i] != '\0'; ++i) {
        int t = static_cast<unsigned char>(text[i]);
        int p = static_cast<unsigned char>(prefix[i]);
        if (t == '\0' || upper_ascii(t) != upper_ascii(p))
            return i + 1;
    }
    return 0;
}

int collapse_spaces(char* buffer)
{
    if (buffer == nullptr)
        return 0;
    int out = 0;
    bool in_run = false;
    for (int in = 0; buffer[in] != '\0'; ++in) {
        if (is_white(buffer[in])) {
            in_run = true;
            continue;
        }
        if (in_run && out > 0)
            buffer[out++] = ' ';
        in_run = false;
        buffer[out++] = buffer[in];
    }
    if (in_run && out > 0)
        buffer[out++] = ' ';
    buffer[out] = '\0';
    return out + 1;
}

int find_voice(const char* typed, char* name, int size)
{
    char text[kTypedLimit + 1];
    int n = 0;
    while (typed != nullptr && n < kTypedLimit && typed[n] != '\0') {
        text[n] = typed[n];
        ++n;
    }
    text[n] = '\0';
    collapse_spaces(text);

    int program;
    if (text[0] == '+' || (text[0] >= '0' && text[0] <= '9')) {
        program = typed_program(text);
    } else {
        program = exact_match(text);
        if (program < 0)
            program = prefix_match(text, Fit::WholeWord);
        if (program < 0)
            program = prefix_match(text, Fit::WordStart);
        if (program < 0)
            program = prefix_match(text, Fit::Anywhere);
        if (program < 0)
            program = 0;
    }
    copy_name(voice_names[program], name, size);
    return program;
}

void list_voices()
{
    int printed = 0;  // characters on the current line
    for (int p = 0; p < VOICE_COUNT; ++p) {
        char entry[64];
        int length = std::snprintf(entry, sizeof entry, "%s (%d), ", voice_names[p], p);
        console_printf("%s", entry);
        printed += length;
        if (printed >= 50) {
            console_printf("\n");
            printed = 0;
        }
        if (p == 64) {
            console_printf("\n(continues...)");
            input_char();
        }
    }
    console_printf("\n");
    input_char();
}
