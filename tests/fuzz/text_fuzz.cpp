// Fuzz targets over text: the scale text parser with degree ratios and the
// notes of the scale on a port, the typed whole-number reader, the voice
// lookup, and the console's escape sequences, key echo and line assembly.
#include "tests/fuzz/fuzz_targets.h"

#include "app/reset.h"
#include "dialogue/numbers.h"
#include "midi/device.h"
#include "platform/fake/fake_platform.h"
#include "platform/key_sequences.h"
#include "platform/line_assembly.h"
#include "retune/degrees.h"
#include "retune/notes.h"
#include "tuning/scale.h"
#include "voices/voices.h"

#include <climits>
#include <cstring>
#include <string>

namespace {

bool white(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

int upper(int c) { return c >= 'a' && c <= 'z' ? c - 32 : c; }

// The leading integer as the standard conversion reads it, held to the int
// range: written out independently of the program's reader.
long long reference_int(const char* text)
{
    const char* p = text;
    while (white(static_cast<unsigned char>(*p)))
        ++p;
    bool negative = *p == '-';
    if (*p == '+' || *p == '-')
        ++p;
    long long value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (value <= static_cast<long long>(INT_MAX) + 1)
            value = value * 10 + (*p - '0');
    }
    value = negative ? -value : value;
    return value < INT_MIN ? INT_MIN : (value > INT_MAX ? INT_MAX : value);
}

}  // namespace

int fuzz_scale_text(const uint8_t* data, size_t size)
{
    program_reset();
    fake_reset();
    const std::string text(reinterpret_cast<const char*>(data), size);
    const char* typed = text.c_str();  // up to the first NUL, as a typed line would be

    static double entries[SCALE_CAPACITY];
    int count = -1;
    parse_scale_text(entries, &count, typed);
    FUZZ_CHECK(count >= 0 && count <= SCALE_MAX_COUNT);
    const size_t kept = std::strlen(kept_scale_text());
    FUZZ_CHECK(kept == std::min(std::strlen(typed), static_cast<size_t>(SCALE_TEXT_SIZE - 1)));
    FUZZ_CHECK(std::strncmp(kept_scale_text(), typed, kept) == 0);
    // Any degree of any scale has a ratio, its arithmetic free of undefined
    // behaviour (the sanitizers watch). A scale may hold infinities, negative
    // ratios, and a not-a-number pitch from "0/0 cents", which sounds as the
    // lowest note.
    const int degrees[] = {0, 1, -1, 7, -8, 1000, -1000, INT_MAX, INT_MIN, INT_MAX - 1, INT_MIN + 1};
    for (int degree : degrees) {
        volatile double ratio = degree_ratio(entries, count, degree);
        (void)ratio;
    }

    // The scale on a port: every degree the input names sounds and ends as
    // well-formed messages.
    fake_add_port("Port");
    FUZZ_CHECK(open_device(0) == 1);
    set_scale(typed);
    for (size_t i = 0; i < size && i < 12; ++i) {
        int degree = static_cast<int8_t>(data[i]) * (1 + (data[i] & 7) * 97);
        if ((data[i] & 0x0F) == 0x0F)
            degree = data[i] & 0x10 ? INT_MAX : INT_MIN;
        play_degree(degree, 127);
    }
    release_all_notes(127);
    fuzz_check_midi_log();
    return 0;
}

int fuzz_numbers(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    FUZZ_CHECK(typed_int(text.c_str()) == reference_int(text.c_str()));
    long long wide = 0;
    for (size_t i = 0; i < size && i < 8; ++i)
        wide = (wide << 8) | data[i];
    int held = saturate_int(wide);
    FUZZ_CHECK(held == (wide < INT_MIN ? INT_MIN : (wide > INT_MAX ? INT_MAX : wide)));
    return 0;
}

int fuzz_voice_lookup(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const int name_size = 1 + data[0] % 130;
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    const char* typed = text.c_str();

    char name[131];
    std::memset(name, 'x', sizeof name);
    int program = find_voice(typed, name, name_size);
    FUZZ_CHECK(program >= 0 && program < VOICE_COUNT);
    const size_t expected = std::min(std::strlen(voice_names[program]), static_cast<size_t>(name_size - 1));
    FUZZ_CHECK(std::strlen(name) == expected && std::strncmp(name, voice_names[program], expected) == 0);

    // Collapsing: no white space first, none but single spaces after.
    std::string buffer = typed;
    int result = collapse_spaces(&buffer[0]);
    const char* collapsed = buffer.c_str();
    FUZZ_CHECK(result == static_cast<int>(std::strlen(collapsed)) + 1);
    FUZZ_CHECK(!white(static_cast<unsigned char>(collapsed[0])));
    for (const char* c = collapsed; *c != '\0'; ++c) {
        FUZZ_CHECK(!white(static_cast<unsigned char>(*c)) || *c == ' ');
        FUZZ_CHECK(!(c[0] == ' ' && c[1] == ' '));
    }

    // The prefix test against its definition, the text's second half as the prefix.
    const std::string whole(typed);
    const std::string prefix = whole.substr(whole.size() / 2);
    int differs = compare_prefix_nocase(whole.c_str(), prefix.c_str());
    size_t first = 0;
    while (first < prefix.size() && first < whole.size() &&
           upper(static_cast<unsigned char>(whole[first])) == upper(static_cast<unsigned char>(prefix[first])))
        ++first;
    FUZZ_CHECK(differs == (first == prefix.size() ? 0 : static_cast<int>(first) + 1));
    return 0;
}

int fuzz_console_bytes(const uint8_t* data, size_t size)
{
    ConsoleKey key = {-1, -1};
    if (size > 0 && data[0] == 27) {
        int length = decode_key_sequence(data, static_cast<int>(size), &key);
        FUZZ_CHECK(length == 0 || (length >= 2 && length <= static_cast<int>(size)));
        if (length > 0)
            FUZZ_CHECK((key.lead == 0 || key.lead == 224) && key.scan > 0 && key.scan < 256);
    }
    for (size_t i = 0; i < size && i < 64; ++i) {
        char echo[2];
        int n = key_echo(data[i], echo);
        FUZZ_CHECK(n == 1 || (n == 2 && echo[0] == '^' && echo[1] >= '?' && echo[1] <= '_'));
    }

    // Lines: each is the bytes up to the next line feed, less a CR just
    // before it, cut to the buffer; nothing of a line spills into the next.
    const int buffer_size = 1 + (size > 0 ? data[0] % 40 : 0);
    size_t position = 0;
    auto take = [&]() { return position < size ? static_cast<int>(data[position++]) : -1; };
    while (position < size) {
        size_t start = position;
        size_t end = start;
        while (end < size && data[end] != '\n')
            ++end;
        std::string line(reinterpret_cast<const char*>(data + start), end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        line = line.substr(0, static_cast<size_t>(buffer_size - 1));
        char buffer[41];
        int length = assemble_line(take, buffer, buffer_size);
        FUZZ_CHECK(length == static_cast<int>(line.size()) && buffer[length] == '\0');
        FUZZ_CHECK(std::memcmp(buffer, line.data(), line.size()) == 0);
        FUZZ_CHECK(position == std::min(end + 1, size));
    }
    return 0;
}
