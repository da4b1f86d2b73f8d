// Scala files at the scale prompts; see scale_files.h.
#include "dialogue/scale_files.h"

#include "console/console.h"
#include "platform/platform.h"
#include "tuning/scala_file.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr int kHomeSize = 4096;                          // the home folder, terminator included
constexpr int kPathSize = kHomeSize + LINE_BUFFER_SIZE;  // home, separator and the rest of a line

// Scratch for one line at a time, written before it is read: nothing to reset.
struct ScaleFilesState {
    char named[LINE_BUFFER_SIZE];  // the file as the line names it, quotes removed; shown to the user
    char path[kPathSize];          // the same with a leading "~/" replaced by the home folder
} state;

// text holds length bytes, not necessarily terminated after them.
bool ends_with_scl(const char* text, size_t length)
{
    if (length < 4 || text[length - 4] != '.')
        return false;
    const char* end = text + length - 3;
    return upper_ascii(static_cast<unsigned char>(end[0])) == 'S' &&
           upper_ascii(static_cast<unsigned char>(end[1])) == 'C' &&
           upper_ascii(static_cast<unsigned char>(end[2])) == 'L';
}

// Fills state.named from the line; false when the line names no file.
bool name_file(const char* line)
{
    size_t length = std::strlen(line);
    if (length >= 2 && (line[0] == '"' || line[0] == '\'') && line[length - 1] == line[0]) {
        ++line;
        length -= 2;
    }
    if (!ends_with_scl(line, length))
        return false;
    std::memcpy(state.named, line, length);
    state.named[length] = '\0';
    return true;
}

// Fills state.path from state.named; false when "~/" needs a home folder the
// system does not name.
bool resolve_path()
{
    const char* named = state.named;
    if (named[0] != '~' || named[1] != '/') {
        std::strcpy(state.path, named);
        return true;
    }
    int home = platform_home_folder(state.path, kHomeSize);
    if (home < 0)
        return false;
    if (home == 0 || state.path[home - 1] != '/')
        state.path[home++] = '/';
    std::strcpy(state.path + home, named + 2);
    return true;
}

void refuse(const char* reason)
{
    console_printf("Can't use the scale file %s: %s\n", state.named, reason);
}

// The reasons that quote the line and the count or pitch at fault.
const char* line_and_token_format(ScalaStatus status)
{
    switch (status) {
    case SCALA_BAD_COUNT: return "line %d: the pitch count \"%s\" is not a whole number above 0.";
    case SCALA_BAD_PITCH: return "line %d: \"%s\" is neither cents nor a ratio.";
    case SCALA_ZERO_RATIO: return "line %d: the ratio \"%s\" is zero.";
    case SCALA_NEGATIVE_RATIO: return "line %d: the ratio \"%s\" is negative.";
    case SCALA_ZERO_DENOMINATOR: return "line %d: the ratio \"%s\" has a zero denominator.";
    case SCALA_TINY_RATIO: return "line %d: the ratio \"%s\" is too small to play (below 1e-10).";
    case SCALA_CENTS_OUT_OF_RANGE: return "line %d: \"%s\" cents is too far from the 1/1 to play.";
    default: return nullptr;
    }
}

// Why a file was refused, one line.
void report_fault(const ScalaFile& file)
{
    char reason[512];
    const char* format = line_and_token_format(file.status);
    if (file.status == SCALA_BAD_PITCH && file.token[0] == '\0')
        std::snprintf(reason, sizeof reason, "line %d: there is no pitch on the line.", file.line);
    else if (format != nullptr)
        std::snprintf(reason, sizeof reason, format, file.line, file.token);
    else if (file.status == SCALA_NO_COUNT)
        std::snprintf(reason, sizeof reason, "line %d: the file ends before the pitch count.", file.line);
    else if (file.status == SCALA_TOO_FEW_PITCHES)
        std::snprintf(reason, sizeof reason, "line %d: the file ends after %d of its %d pitches.", file.line,
                      file.pitches_found, file.pitch_count);
    else if (file.status == SCALA_LONG_PITCH)
        std::snprintf(reason, sizeof reason, "line %d: the pitch is longer than %d characters.", file.line,
                      SCALA_LONGEST_PITCH);
    else if (file.status == SCALA_FILE_TOO_LARGE)
        std::snprintf(reason, sizeof reason, "it is larger than %zu bytes.", SCALA_FILE_CAPACITY);
    else if (file.status == SCALA_FILE_FOLDER)
        std::snprintf(reason, sizeof reason, "it is a folder.");
    else if (file.status == SCALA_FILE_MISSING)
        std::snprintf(reason, sizeof reason, "there is no such file.");
    else
        std::snprintf(reason, sizeof reason, "it can't be read.");
    refuse(reason);
}

void announce(const ScalaFile& file)
{
    const char* plural = file.pitch_count == 1 ? "" : "es";
    if (file.description[0] != '\0')
        console_printf("Scale file %s, %d pitch%s: %s\n", state.named, file.pitch_count, plural, file.description);
    else
        console_printf("Scale file %s, %d pitch%s (no description)\n", state.named, file.pitch_count, plural);
    if (file.pitches_used < file.pitch_count)
        console_printf("Only its first %d pitches fit a scale, so it repeats at pitch %d, not at pitch %d.\n",
                       file.pitches_used, file.pitches_used, file.pitch_count);
}

}  // namespace

ScaleLine take_scale_file(const char** line)
{
    if (!name_file(*line))
        return SCALE_LINE_TYPED;
    if (!resolve_path()) {
        refuse("the home folder is not known.");
        return SCALE_LINE_REFUSED;
    }
    if (read_scala_file(state.path) != SCALA_OK) {
        report_fault(scala_file());
        return SCALE_LINE_REFUSED;
    }
    announce(scala_file());
    *line = scala_file().scale_text;
    return SCALE_LINE_FILE;
}
