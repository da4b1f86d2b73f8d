// The Scala keyboard mapping reader; see keyboard_map.h.
//
// Every field is checked as it is read, so that a refusal names the first
// line at fault; a mapping that reads cleanly can be played without further
// checks (each key's degree and octave count fit an int, the reference has a
// pitch).
#include "tuning/keyboard_map.h"

#include "platform/platform.h"
#include "tuning/scale.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct KeyboardMapState {
    char bytes[KBM_FILE_CAPACITY];  // the last file read; only read_keyboard_map uses it
} state;

constexpr int kKeys = 128;
constexpr int kFields = 7;  // the fields before the entries

// What each field is called in a refusal, in file order.
const char* const kFieldNames[kFields] = {
    "the map size", "the first key to retune", "the last key to retune", "the middle key",
    "the reference key", "the reference frequency", "the formal octave's degree",
};

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

bool is_digit(char c) { return c >= '0' && c <= '9'; }

struct Token {
    const char* start;
    size_t length;
};

// Walks the non-comment lines of a byte range, giving each line's first
// token. LF, CR LF and a lone CR each end a line.
struct FieldReader {
    const char* bytes;
    size_t length;
    size_t position;  // start of the next line, 0..length
    int number;       // 1-based number of the line last taken, 0 before the first

    bool next(Token* token)
    {
        for (;;) {
            if (position >= length)
                return false;
            size_t end = position;
            while (end < length && bytes[end] != '\n' && bytes[end] != '\r')
                ++end;
            const size_t start = position;
            if (end < length && bytes[end] == '\r' && end + 1 < length && bytes[end + 1] == '\n')
                ++end;
            position = end < length ? end + 1 : end;
            ++number;
            if (start < length && bytes[start] == '!')
                continue;
            size_t i = start;
            while (i < length && is_blank(bytes[i]))
                ++i;
            size_t stop = i;
            while (stop < length && bytes[stop] != '\n' && bytes[stop] != '\r' && !is_blank(bytes[stop]))
                ++stop;
            *token = Token{bytes + i, stop - i};
            return true;
        }
    }
};

// A whole number: an optional sign and 1..9 digits (larger values are refused
// by every field's own range before they could overflow).
bool whole_number(const Token& token, long* value)
{
    size_t i = (token.length > 0 && (token.start[0] == '+' || token.start[0] == '-')) ? 1 : 0;
    const size_t digits = token.length - i;
    if (digits == 0 || digits > 9)
        return false;
    long v = 0;
    for (; i < token.length; ++i) {
        if (!is_digit(token.start[i]))
            return false;
        v = v * 10 + (token.start[i] - '0');
    }
    *value = token.start[0] == '-' ? -v : v;
    return true;
}

// A frequency: digits with at most one decimal point among them, at least one
// digit, and an optional exponent "e" or "E" with an optional sign and
// digits. Parsed by hand up to strtod, which the program only ever calls in
// the "C" locale, so a comma is refused here rather than read as an end.
bool frequency(const Token& token, double* value)
{
    const char* t = token.start;
    size_t i = (token.length > 0 && t[0] == '+') ? 1 : 0;
    size_t digits = 0;
    bool point = false;
    for (; i < token.length && (is_digit(t[i]) || (t[i] == '.' && !point)); ++i) {
        if (t[i] == '.')
            point = true;
        else
            ++digits;
    }
    if (digits == 0)
        return false;
    if (i < token.length && (t[i] == 'e' || t[i] == 'E')) {
        ++i;
        if (i < token.length && (t[i] == '+' || t[i] == '-'))
            ++i;
        size_t exponent_digits = 0;
        for (; i < token.length && is_digit(t[i]); ++i)
            ++exponent_digits;
        if (exponent_digits == 0)
            return false;
    }
    if (i != token.length || token.length >= 64)
        return false;
    char copy[64];
    std::memcpy(copy, t, token.length);
    copy[token.length] = '\0';
    *value = std::strtod(copy, nullptr);
    return *value > 0.0 && std::isfinite(*value);
}

void keep_token(KeyboardMap* map, const Token& token)
{
    size_t n = token.length < sizeof map->token - 1 ? token.length : sizeof map->token - 1;
    for (size_t i = 0; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(token.start[i]);
        map->token[i] = (c < 32 || c == 127) ? '?' : token.start[i];
    }
    map->token[n] = '\0';
}

KbmStatus refuse(KeyboardMap* map, KbmStatus status, int line, const Token* token)
{
    map->status = status;
    map->line = line;
    map->token[0] = '\0';
    if (token != nullptr)
        keep_token(map, *token);
    return status;
}

// Floor division and its remainder, for offsets below the middle key.
void floor_divide(int numerator, int denominator, int* quotient, int* remainder)
{
    int q = numerator / denominator;
    int r = numerator % denominator;
    if (r < 0) {
        r += denominator;
        --q;
    }
    *quotient = q;
    *remainder = r;
}

// The degree and octaves a key plays, first..last aside.
bool key_in_map(const KeyboardMap& map, int key, int* degree, int* octaves)
{
    if (map.map_size == 0) {
        *degree = key - map.middle_key;
        *octaves = 0;
        return true;
    }
    int index;
    floor_divide(key - map.middle_key, map.map_size, octaves, &index);
    *degree = map.entries[index];
    return *degree != KBM_UNMAPPED;
}

double ratio_of(const KeyboardMap& map, int degree, int octaves, const double* scale_entries, int scale_count)
{
    // Octave degree 0 is the scale's period: the last entry of a periodic scale.
    const int octave = map.octave_degree != 0 ? map.octave_degree : (scale_count > 1 ? scale_count - 1 : 1);
    return degree_ratio(scale_entries, scale_count, degree) *
           std::pow(degree_ratio(scale_entries, scale_count, octave), octaves);
}

}  // namespace

KbmStatus parse_keyboard_map(const char* bytes, size_t length, KeyboardMap* map)
{
    *map = KeyboardMap();
    FieldReader reader = {bytes, length, 0, 0};
    // A byte order mark before the first line.
    if (length >= 3 && std::memcmp(bytes, "\xEF\xBB\xBF", 3) == 0)
        reader.position = 3;
    long values[kFields] = {};
    for (int field = 0; field < kFields; ++field) {
        Token token;
        if (!reader.next(&token)) {
            std::snprintf(map->token, sizeof map->token, "%s", kFieldNames[field]);
            map->status = KBM_MISSING_FIELD;
            map->line = reader.number;
            return KBM_MISSING_FIELD;
        }
        if (field == 5) {
            if (!frequency(token, &map->reference_hz))
                return refuse(map, KBM_BAD_FREQUENCY, reader.number, &token);
            continue;
        }
        if (!whole_number(token, &values[field]))
            return refuse(map, KBM_BAD_NUMBER, reader.number, &token);
        const long v = values[field];
        if (field == 0 && (v < 0 || v > KBM_MAX_MAP_SIZE))
            return refuse(map, KBM_BAD_SIZE, reader.number, &token);
        if (field >= 1 && field <= 4 && (v < 0 || v >= kKeys))
            return refuse(map, KBM_KEY_OUT_OF_RANGE, reader.number, &token);
        if (field == 2 && v < values[1])
            return refuse(map, KBM_FIRST_AFTER_LAST, reader.number, &token);
        if (field == 6 && (v < 0 || v > KBM_MAX_DEGREE))
            return refuse(map, KBM_BAD_OCTAVE_DEGREE, reader.number, &token);
    }
    map->map_size = static_cast<int>(values[0]);
    map->first_key = static_cast<int>(values[1]);
    map->last_key = static_cast<int>(values[2]);
    map->middle_key = static_cast<int>(values[3]);
    map->reference_key = static_cast<int>(values[4]);
    map->octave_degree = static_cast<int>(values[6]);
    for (int i = 0; i < map->map_size; ++i) {
        Token token;
        if (!reader.next(&token)) {
            std::snprintf(map->token, sizeof map->token, "entry %d of %d", i + 1, map->map_size);
            map->status = KBM_MISSING_ENTRY;
            map->line = reader.number;
            return KBM_MISSING_ENTRY;
        }
        long degree = 0;
        if ((token.length == 1 && (token.start[0] == 'x' || token.start[0] == 'X')))
            map->entries[i] = KBM_UNMAPPED;
        else if (whole_number(token, &degree) && degree >= 0 && degree <= KBM_MAX_DEGREE)
            map->entries[i] = static_cast<int>(degree);
        else
            return refuse(map, KBM_BAD_ENTRY, reader.number, &token);
    }
    int degree;
    int octaves;
    if (!key_in_map(*map, map->reference_key, &degree, &octaves)) {
        std::snprintf(map->token, sizeof map->token, "%d", map->reference_key);
        map->status = KBM_REFERENCE_UNMAPPED;
        map->line = 0;
        return KBM_REFERENCE_UNMAPPED;
    }
    map->status = KBM_OK;
    map->line = 0;
    return KBM_OK;
}

KbmStatus read_keyboard_map(const char* path, KeyboardMap* map)
{
    *map = KeyboardMap();
    size_t length = 0;
    switch (platform_file_read(path, state.bytes, sizeof state.bytes, &length)) {
    case PLATFORM_FILE_OK:
        return parse_keyboard_map(state.bytes, length, map);
    case PLATFORM_FILE_MISSING:
        return refuse(map, KBM_FILE_MISSING, 0, nullptr);
    case PLATFORM_FILE_FOLDER:
        return refuse(map, KBM_FILE_FOLDER, 0, nullptr);
    case PLATFORM_FILE_TOO_LARGE:
        return refuse(map, KBM_FILE_TOO_LARGE, 0, nullptr);
    default:
        return refuse(map, KBM_FILE_UNREADABLE, 0, nullptr);
    }
}

void keyboard_map_refusal(const KeyboardMap& map, const char* path, char* buffer, int size)
{
    if (buffer == nullptr || size < 1)
        return;
    char reason[200];
    const char* t = map.token;
    switch (map.status) {
    case KBM_OK:
        std::snprintf(reason, sizeof reason, "no fault");
        break;
    case KBM_FILE_MISSING:
        std::snprintf(reason, sizeof reason, "no such file");
        break;
    case KBM_FILE_FOLDER:
        std::snprintf(reason, sizeof reason, "it is a folder");
        break;
    case KBM_FILE_TOO_LARGE:
        std::snprintf(reason, sizeof reason, "larger than a keyboard mapping can be");
        break;
    case KBM_FILE_UNREADABLE:
        std::snprintf(reason, sizeof reason, "it cannot be read");
        break;
    case KBM_MISSING_FIELD:
        std::snprintf(reason, sizeof reason, "the file ends before %s", t);
        break;
    case KBM_BAD_NUMBER:
        std::snprintf(reason, sizeof reason, "'%s' is not a whole number", t);
        break;
    case KBM_BAD_SIZE:
        std::snprintf(reason, sizeof reason, "map size '%s' is not 0..%d", t, KBM_MAX_MAP_SIZE);
        break;
    case KBM_KEY_OUT_OF_RANGE:
        std::snprintf(reason, sizeof reason, "key '%s' is not a MIDI key 0..127", t);
        break;
    case KBM_FIRST_AFTER_LAST:
        std::snprintf(reason, sizeof reason, "the last key to retune, %s, lies below the first", t);
        break;
    case KBM_BAD_FREQUENCY:
        std::snprintf(reason, sizeof reason, "'%s' is not a frequency in Hz above 0 (such as 440.0)", t);
        break;
    case KBM_BAD_OCTAVE_DEGREE:
        std::snprintf(reason, sizeof reason, "the formal octave's degree '%s' is not 0..%d", t, KBM_MAX_DEGREE);
        break;
    case KBM_MISSING_ENTRY:
        std::snprintf(reason, sizeof reason, "the file ends before %s", t);
        break;
    case KBM_BAD_ENTRY:
        std::snprintf(reason, sizeof reason, "entry '%s' is neither a scale degree 0..%d nor x", t, KBM_MAX_DEGREE);
        break;
    case KBM_REFERENCE_UNMAPPED:
        std::snprintf(reason, sizeof reason, "the reference key %s plays nothing (x)", t);
        break;
    }
    if (map.line > 0)
        std::snprintf(buffer, static_cast<size_t>(size), "%s, line %d: %s", path, map.line, reason);
    else
        std::snprintf(buffer, static_cast<size_t>(size), "%s: %s", path, reason);
}

bool keyboard_map_key(const KeyboardMap& map, int key, int* degree, int* octaves)
{
    if (map.status != KBM_OK || key < map.first_key || key > map.last_key)
        return false;
    return key_in_map(map, key, degree, octaves);
}

double keyboard_map_ratio(const KeyboardMap& map, int key, const double* scale_entries, int scale_count)
{
    int degree;
    int octaves;
    if (!keyboard_map_key(map, key, &degree, &octaves))
        return 0.0;
    return ratio_of(map, degree, octaves, scale_entries, scale_count);
}

double keyboard_map_one_one_hz(const KeyboardMap& map, const double* scale_entries, int scale_count)
{
    int degree;
    int octaves;
    if (map.status != KBM_OK || !key_in_map(map, map.reference_key, &degree, &octaves))
        return 0.0;
    return map.reference_hz / ratio_of(map, degree, octaves, scale_entries, scale_count);
}

void keyboard_map_reset() { state.bytes[0] = '\0'; }
