// The Scala file reader; see scala_file.h.
//
// The file's pitches become scale text for the same parser a typed line goes
// through, so every pitch is checked here against what that parser would do
// with it: a token it would read differently (cut, ignored as too small, or
// taken as one of its keywords), or one that gives no pitch at all (a ratio
// of 0 or infinity), is refused rather than played wrong.
#include "tuning/scala_file.h"

#include "platform/platform.h"

#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

struct ScalaState {
    ScalaFile file;                    // the result of the last parse
    char bytes[SCALA_FILE_CAPACITY];   // the last file read; only read_scala_file uses it
} state;

static_assert(SCALA_LONGEST_PITCH + 1 < SCALE_TOKEN_SIZE, "a pitch and its added leading 0 fit a scale text token");

// Ratios below this are dropped by the scale text parser.
constexpr double kSmallestRatio = 1e-10;

// A line of the file, without its line end.
struct Line {
    const char* start;
    size_t length;
};

// Walks the lines of a byte range. LF, CR LF and a lone CR each end a line;
// a last line without a line end counts.
struct LineReader {
    const char* bytes;  // the whole file
    size_t length;      // its size in bytes
    size_t position;    // start of the next line, 0..length
    int number;         // 1-based number of the line last taken, 0 before the first

    bool next(Line* line)
    {
        if (position >= length)
            return false;
        size_t end = position;
        while (end < length && bytes[end] != '\n' && bytes[end] != '\r')
            ++end;
        *line = Line{bytes + position, end - position};
        if (end < length && bytes[end] == '\r' && end + 1 < length && bytes[end + 1] == '\n')
            ++end;
        position = end < length ? end + 1 : end;
        ++number;
        return true;
    }
};

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The first token of a line: the first run of bytes that are not blanks.
Line first_token(const Line& line)
{
    size_t i = 0;
    while (i < line.length && is_blank(line.start[i]))
        ++i;
    size_t end = i;
    while (end < line.length && !is_blank(line.start[end]))
        ++end;
    return Line{line.start + i, end - i};
}

// Copies at most capacity - 1 bytes, terminated, with control bytes shown as
// '?' so that a file cannot steer the terminal. Bytes from 128 up (UTF-8)
// pass; a cut never splits a UTF-8 character.
void copy_printable(char* destination, size_t capacity, const char* source, size_t length)
{
    if (length > capacity - 1) {
        length = capacity - 1;
        while (length > 0 && (static_cast<unsigned char>(source[length]) & 0xC0) == 0x80)
            --length;
    }
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(source[i]);
        destination[i] = c == '\t' ? ' ' : (c < 32 || c == 127) ? '?' : source[i];
    }
    destination[length] = '\0';
}

// Digits from text[*i]; advances past them. Returns how many there were;
// *all_zero tells whether each was '0'.
size_t skip_digits(const char* text, size_t length, size_t* i, bool* all_zero)
{
    size_t first = *i;
    *all_zero = true;
    while (*i < length && is_digit(text[*i])) {
        if (text[*i] != '0')
            *all_zero = false;
        ++*i;
    }
    return *i - first;
}

// Cents: an optional sign, digits with one decimal point among them, at
// least one digit, and nothing else.
bool is_cents(const Line& token)
{
    const char* t = token.start;
    size_t i = (t[0] == '+' || t[0] == '-') ? 1 : 0;
    bool zero;
    size_t digits = skip_digits(t, token.length, &i, &zero);
    if (i >= token.length || t[i] != '.')
        return false;
    ++i;
    digits += skip_digits(t, token.length, &i, &zero);
    return digits > 0 && i == token.length;
}

// One whole number with an optional sign, from text[*i]: reads it and
// returns false when there are no digits. *negative, *zero describe it.
bool read_whole(const Line& token, size_t* i, bool* negative, bool* zero, double* value)
{
    *negative = token.start[*i] == '-';
    if (token.start[*i] == '+' || token.start[*i] == '-')
        ++*i;
    size_t first = *i;
    if (skip_digits(token.start, token.length, i, zero) == 0)
        return false;
    char digits[SCALA_LONGEST_PITCH + 1];
    std::memcpy(digits, token.start + first, *i - first);
    digits[*i - first] = '\0';
    *value = std::strtod(digits, nullptr);
    return true;
}

// A ratio "a/b" or a whole number "a" (b = 1), with the faults the scale
// text would not play as written.
ScalaStatus check_ratio(const Line& token)
{
    size_t i = 0;
    bool negative, zero, denominator_negative = false, denominator_zero = false;
    double numerator, denominator = 1.0;
    if (!read_whole(token, &i, &negative, &zero, &numerator))
        return SCALA_BAD_PITCH;
    if (i < token.length) {
        if (token.start[i] != '/')
            return SCALA_BAD_PITCH;
        ++i;
        if (i >= token.length ||
            !read_whole(token, &i, &denominator_negative, &denominator_zero, &denominator) ||
            i != token.length)
            return SCALA_BAD_PITCH;
    }
    if (denominator_zero)
        return SCALA_ZERO_DENOMINATOR;
    if (zero)
        return SCALA_ZERO_RATIO;
    if (negative != denominator_negative)
        return SCALA_NEGATIVE_RATIO;
    if (numerator / denominator < kSmallestRatio)
        return SCALA_TINY_RATIO;
    return SCALA_OK;
}

ScalaStatus check_pitch(const Line& token)
{
    if (token.length == 0)
        return SCALA_BAD_PITCH;
    if (token.length > static_cast<size_t>(SCALA_LONGEST_PITCH))
        return SCALA_LONG_PITCH;
    if (std::memchr(token.start, '.', token.length) == nullptr)
        return check_ratio(token);
    if (!is_cents(token))
        return SCALA_BAD_PITCH;
    char cents[SCALA_LONGEST_PITCH + 1];
    std::memcpy(cents, token.start, token.length);
    cents[token.length] = '\0';
    double ratio = std::pow(2.0, std::strtod(cents, nullptr) / 1200.0);
    return ratio > 0.0 && std::isfinite(ratio) ? SCALA_OK : SCALA_CENTS_OUT_OF_RANGE;
}

// The count: digits only, above 0; held to INT_MAX.
int read_count(const Line& token)
{
    if (token.length == 0)
        return 0;
    long long count = 0;
    for (size_t i = 0; i < token.length; ++i) {
        if (!is_digit(token.start[i]))
            return 0;
        count = count * 10 + (token.start[i] - '0');
        if (count > INT_MAX)
            count = INT_MAX;
    }
    return static_cast<int>(count);
}

// Appends a checked pitch to the scale text. A leading decimal point gets a
// 0 before it: the keyboard test drops a typed line's leading full stop, and
// a file's first pitch is no such marker.
void append_pitch(ScalaFile& file, size_t* used, const Line& token)
{
    char* text = file.scale_text;
    if (*used > 0)
        text[(*used)++] = ' ';
    if (token.start[0] == '.')
        text[(*used)++] = '0';
    std::memcpy(text + *used, token.start, token.length);
    *used += token.length;
    text[*used] = '\0';
}

ScalaStatus fail(ScalaFile& file, ScalaStatus status, int line, const Line& token)
{
    file.status = status;
    file.line = line;
    copy_printable(file.token, sizeof file.token, token.start, token.length);
    file.scale_text[0] = '\0';
    file.pitches_used = 0;
    return status;
}

void clear(ScalaFile& file)
{
    file.status = SCALA_OK;
    file.line = 0;
    file.token[0] = '\0';
    file.description[0] = '\0';
    file.pitch_count = 0;
    file.pitches_found = 0;
    file.pitches_used = 0;
    file.scale_text[0] = '\0';
}

}  // namespace

const ScalaFile& scala_file() { return state.file; }

void scala_file_reset() { clear(state.file); }

ScalaStatus parse_scala_text(const char* bytes, size_t length)
{
    ScalaFile& file = state.file;
    clear(file);
    if (bytes == nullptr)
        length = 0;
    // A byte order mark from a Windows editor is not part of the first line.
    if (length >= 3 && std::memcmp(bytes, "\xEF\xBB\xBF", 3) == 0) {
        bytes += 3;
        length -= 3;
    }
    LineReader reader{bytes, length, 0, 0};
    enum { DESCRIPTION, COUNT, PITCHES } expecting = DESCRIPTION;
    size_t text_used = 0;  // bytes of scale_text written
    Line line;
    while (file.pitches_found < file.pitch_count || expecting != PITCHES) {
        if (!reader.next(&line)) {
            Line none{"", 0};
            return fail(file, expecting == PITCHES ? SCALA_TOO_FEW_PITCHES : SCALA_NO_COUNT, reader.number + 1, none);
        }
        if (line.length > 0 && line.start[0] == '!')
            continue;
        if (expecting == DESCRIPTION) {
            Line token = first_token(line);
            Line trimmed{token.start, static_cast<size_t>(line.start + line.length - token.start)};
            while (trimmed.length > 0 && is_blank(trimmed.start[trimmed.length - 1]))
                --trimmed.length;
            copy_printable(file.description, sizeof file.description, trimmed.start, trimmed.length);
            expecting = COUNT;
            continue;
        }
        Line token = first_token(line);
        if (expecting == COUNT) {
            file.pitch_count = read_count(token);
            if (file.pitch_count < 1)
                return fail(file, SCALA_BAD_COUNT, reader.number, token);
            expecting = PITCHES;
            continue;
        }
        ScalaStatus status = check_pitch(token);
        if (status != SCALA_OK)
            return fail(file, status, reader.number, token);
        if (file.pitches_found < SCALA_MAX_PITCHES)
            append_pitch(file, &text_used, token);
        ++file.pitches_found;
    }
    file.pitches_used = file.pitch_count < SCALA_MAX_PITCHES ? file.pitch_count : SCALA_MAX_PITCHES;
    return SCALA_OK;
}

ScalaStatus read_scala_file(const char* path)
{
    size_t length = 0;
    int result = platform_file_read(path, state.bytes, sizeof state.bytes, &length);
    if (result == PLATFORM_FILE_OK)
        return parse_scala_text(state.bytes, length);
    clear(state.file);
    switch (result) {
    case PLATFORM_FILE_MISSING: state.file.status = SCALA_FILE_MISSING; break;
    case PLATFORM_FILE_FOLDER: state.file.status = SCALA_FILE_FOLDER; break;
    case PLATFORM_FILE_TOO_LARGE: state.file.status = SCALA_FILE_TOO_LARGE; break;
    default: state.file.status = SCALA_FILE_UNREADABLE; break;
    }
    return state.file.status;
}
