// The MIDI source of the run; see midi_source.h.
#include "live/midi_source.h"

#include "console/console.h"
#include "platform/platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct SourceState {
    bool open;  // platform_midi_in_open succeeded and has not been closed
} state = {false};

const char* const kOwnPortWord = "virtual";

// A source's name, empty when it cannot be read.
struct SourceName {
    char text[1024];
};

SourceName source_name(int index)
{
    SourceName name;
    platform_midi_in_name(index, name.text, sizeof name.text);
    return name;
}

// One line on the error stream: what went wrong with the PORT asked for, and
// how to list the sources.
void print_error(const char* port, const char* what)
{
    char line[2400];
    int n = std::snprintf(line, sizeof line, "%s: %s '%s'; '%s --list-midi-in' lists the MIDI sources\n",
                          PROGRAM_NAME, what, port, PROGRAM_NAME);
    if (n < 0)
        return;
    size_t length = static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1;
    platform_console_write_error(line, length);
}

}  // namespace

int choose_midi_source(const char* port)
{
    if (equals_nocase(port, kOwnPortWord))
        return PLATFORM_MIDI_IN_OWN_PORT;
    const int count = platform_midi_in_count();
    if (all_digits(port)) {
        // Beyond any list's length: no number that long names a source.
        const long number = std::strlen(port) > 9 ? 0 : std::strtol(port, nullptr, 10);
        return number >= 1 && number <= count ? static_cast<int>(number - 1) : MIDI_SOURCE_NONE;
    }
    if (port[0] == '\0')
        return MIDI_SOURCE_NONE;
    for (int i = 0; i < count; ++i) {
        if (contains_nocase(source_name(i).text, port))
            return i;
    }
    return MIDI_SOURCE_NONE;
}

int open_midi_input(const char* port)
{
    const int index = choose_midi_source(port);
    if (index == MIDI_SOURCE_NONE) {
        print_error(port, "no MIDI source matches");
        return 2;
    }
    if (platform_midi_in_open(index) != PLATFORM_OK) {
        if (index == PLATFORM_MIDI_IN_OWN_PORT) {
            print_error(port, "cannot open the program's own MIDI input port for");
        } else {
            char what[1100];
            std::snprintf(what, sizeof what, "cannot open the MIDI source %s, asked for as", source_name(index).text);
            print_error(port, what);
        }
        return 2;
    }
    state.open = true;
    return 0;
}

bool midi_input_open() { return state.open; }

void close_midi_input()
{
    if (!state.open)
        return;
    platform_midi_in_close();
    state.open = false;
}

void list_midi_sources()
{
    const int count = platform_midi_in_count();
    for (int i = 0; i < count; ++i)
        console_printf("%d - %s\n", i + 1, source_name(i).text);
}

void midi_source_reset() { state.open = false; }
