// The commands accepted at every test prompt; see commands.h.
#include "dialogue/commands.h"

#include "console/console.h"
#include "midi/channel.h"
#include "tuning/scale.h"
#include "voices/voices.h"

#include <cstdlib>
#include <cstring>

int handle_command(char* line)
{
    trim_line(line);
    if (equals_nocase(line, "voices")) {
        console_printf("\n\n******Complete list of voices******\n");
        list_voices();
        return 1;
    }
    if (voice_command(line))
        return 1;
    if (hz_command(line))
        return 1;
    return 0;
}

int voice_command(const char* line)
{
    if (compare_prefix_nocase(line, "voice") != 0)
        return 0;
    char name[100];
    int program = find_voice(line + 5, name, sizeof name);
    set_program_all(program);
    console_printf("\n******new voice %s (%d)******\n", name, program);
    return 1;
}

int hz_command(const char* line)
{
    size_t length = std::strlen(line);
    if (length < 2 || !equals_nocase(line + length - 2, "hz"))
        return 0;
    double frequency = std::strtod(line, nullptr);
    console_printf("\n******new 1/1 %g Hz******\n", frequency);
    set_reference_pitch(frequency);
    return 1;
}
