// The scale text parser; see scale_parser.h.
//
// Typed text reaches this code unchecked, so every number read here may be
// huge, infinite or not a number; none of that is an error, and none of it may
// reach integer arithmetic.
#include "tuning/scale_parser.h"

#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

struct ScaleParserState {
    char kept_text[SCALE_TEXT_SIZE];  // first 1023 bytes of the last text parsed, always terminated
} state;

// Token positions stay below this, so that "position + 2" (the text after
// "n(") can never overflow an int, however long the text.
constexpr int POSITION_LIMIT = INT_MAX - 2;

// The characters that end a token and lie between tokens when looking for the
// next one. Form feed is deliberately not among them (see copy_token).
bool is_separator(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\r'; }

// The characters that end a token being copied: the separators and form feed.
// Bytes above 127 are ordinary characters here too, as for next_token.
bool is_white_space(char c) { return is_separator(c) || c == '\f'; }

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool equals_nocase(const char* a, const char* b)
{
    for (;; ++a, ++b) {
        char x = (*a >= 'a' && *a <= 'z') ? static_cast<char>(*a - 'a' + 'A') : *a;
        char y = (*b >= 'a' && *b <= 'z') ? static_cast<char>(*b - 'a' + 'A') : *b;
        if (x != y)
            return false;
        if (x == '\0')
            return true;
    }
}

// The number at the start of text: optional sign, digits, optional decimal
// point and fraction, optional exponent; 0 when there is none. Only this
// plain decimal form is read, so "inf", "nan" and hexadecimal read as 0 like
// any other word. text is a token (at most SCALE_TOKEN_SIZE - 1 bytes).
double leading_number(const char* text)
{
    int i = 0;
    if (text[i] == '+' || text[i] == '-')
        ++i;
    int digits = 0;
    while (is_digit(text[i])) {
        ++i;
        ++digits;
    }
    if (text[i] == '.') {
        ++i;
        while (is_digit(text[i])) {
            ++i;
            ++digits;
        }
    }
    if (digits == 0)
        return 0.0;
    if (text[i] == 'e' || text[i] == 'E') {
        int j = i + 1;
        if (text[j] == '+' || text[j] == '-')
            ++j;
        if (is_digit(text[j])) {
            while (is_digit(text[j]))
                ++j;
            i = j;
        }
    }
    char number[SCALE_TOKEN_SIZE];
    std::memcpy(number, text, static_cast<size_t>(i));
    number[i] = '\0';
    return std::strtod(number, nullptr);  // out of range gives +-HUGE_VAL or 0, never UB
}

double clamp_exponent(double x)
{
    if (x < -308.0)
        return -308.0;
    if (x > 308.0)
        return 308.0;
    return x;  // NaN stays NaN
}

}  // namespace

const char* kept_scale_text() { return state.kept_text; }

void scale_parser_reset() { state = ScaleParserState(); }

bool next_token(const char* text, int* position)
{
    if (position == nullptr)
        return false;
    if (text == nullptr) {
        *position = -1;
        return false;
    }
    int i = *position;
    if (i < 0) {
        i = 0;
    } else {
        while (i < POSITION_LIMIT && text[i] != '\0' && !is_separator(text[i]))
            ++i;
    }
    while (i < POSITION_LIMIT && is_separator(text[i]))
        ++i;
    if (i >= POSITION_LIMIT || text[i] == '\0') {
        *position = -1;
        return false;
    }
    *position = i;
    return true;
}

int copy_token(char* destination, const char* text, int start, int capacity)
{
    // A capacity below 1 leaves no room even for the terminator.
    if (destination == nullptr || text == nullptr || start < 0 || capacity < 1)
        return 0;
    const char* from = text + start;
    int read = 0;
    while (read < capacity && from[read] != '\0' && !is_white_space(from[read])) {
        destination[read] = from[read];
        ++read;
    }
    destination[read < capacity - 1 ? read : capacity - 1] = '\0';
    return read;
}

void parse_scale_text(double* entries, int* count, const char* text)
{
    if (text == nullptr)
        text = "";
    size_t kept = std::strlen(text);
    if (kept > static_cast<size_t>(SCALE_TEXT_SIZE - 1))
        kept = SCALE_TEXT_SIZE - 1;
    std::memcpy(state.kept_text, text, kept);
    state.kept_text[kept] = '\0';
    if (entries == nullptr || count == nullptr)
        return;

    int used = 1;            // entries in use, 0..SCALE_MAX_COUNT
    double last_read = 0.0;  // the last number read, for a following "cents"
    int position = -1;       // start of the current token in text
    entries[0] = 1.0;
    char token[SCALE_TOKEN_SIZE];

    bool more = next_token(text, &position);
    while (more) {
        copy_token(token, text, position, SCALE_TOKEN_SIZE);
        bool power = false;  // "n(": the value is an exponent of 2
        if (token[0] == 'h') {
            // Harmonic mode: the next value goes into entry 0.
            used = 0;
        } else {
            if (token[0] == 'n' && token[1] == '(') {
                power = true;
                copy_token(token, text, position + 2, SCALE_TOKEN_SIZE);
            }
            if (equals_nocase(token, "cents")) {
                // The last number read was in cents: it rewrites the last entry.
                int i = used > 0 ? used - 1 : 0;
                entries[i] = std::exp(clamp_exponent(std::log(2.0) * last_read / 1200.0));
                used = i + 1;
            } else {
                const char* slash = std::strchr(token, '/');
                bool checked = true;  // the magnitude test applies
                double value;
                if (slash != nullptr) {
                    value = leading_number(token) / leading_number(slash + 1);
                } else if (std::strchr(token, '.') != nullptr) {
                    value = leading_number(token);
                    checked = false;
                } else {
                    value = leading_number(token);
                }
                last_read = value;
                if (!checked) {
                    entries[used++] = std::pow(2.0, value / 1200.0);
                } else if (std::fabs(value) >= 1e-10) {  // false for NaN too
                    entries[used++] = power ? std::pow(2.0, value) : value;
                }
            }
            if (used >= SCALE_MAX_COUNT)
                break;
        }
        more = next_token(text, &position);
    }
    *count = used;
}
