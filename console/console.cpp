// Console input and output; see console.h.
#include "console/console.h"

#include "platform/end_request.h"
#include "platform/platform.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

const char* const PROGRAM_NAME = "varenta-test";

// A read found no input: a request to end interrupted it, or input ended.
[[noreturn]] static void input_stopped()
{
    stop_if_asked();
    throw InputEnded();
}

void input_line(char* line, int size)
{
    if (platform_console_read_line(line, size) < 0)
        input_stopped();
}

int input_key()
{
    int key = platform_console_read_key();
    if (key < 0)
        input_stopped();
    return key;
}

int input_key_or_midi()
{
    static_assert(KEY_MIDI_PENDING == PLATFORM_MIDI_IN_PENDING, "the platform's value");
    int key = platform_console_read_key_or_midi();
    if (key < 0)
        input_stopped();
    return key;
}

int input_char()
{
    int c = platform_console_read_char();
    if (c < 0)
        input_stopped();
    return c;
}

bool is_white_space(int c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int upper_ascii(int c) { return c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c; }

bool equals_nocase(const char* a, const char* b)
{
    for (;; ++a, ++b) {
        int ca = static_cast<unsigned char>(*a);
        int cb = static_cast<unsigned char>(*b);
        if (upper_ascii(ca) != upper_ascii(cb))
            return false;
        if (ca == 0)
            return true;
    }
}

bool contains_nocase(const char* text, const char* part)
{
    const size_t n = std::strlen(part);
    for (; *text != '\0'; ++text) {
        size_t i = 0;
        while (i < n && text[i] != '\0' &&
               upper_ascii(static_cast<unsigned char>(text[i])) == upper_ascii(static_cast<unsigned char>(part[i])))
            ++i;
        if (i == n)
            return true;
    }
    return n == 0;
}

bool all_digits(const char* text)
{
    if (*text == '\0')
        return false;
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9')
            return false;
    }
    return true;
}

int trim_line(char* line)
{
    int length = static_cast<int>(std::strlen(line));
    while (length > 0 && is_white_space(static_cast<unsigned char>(line[length - 1])))
        --length;
    line[length] = '\0';
    int lead = 0;
    while (lead < length && is_white_space(static_cast<unsigned char>(line[lead])))
        ++lead;
    std::memmove(line, line + lead, static_cast<size_t>(length - lead + 1));
    return length - lead;
}

namespace {

// Formats into text (size bytes) and hands what fits to write.
void write_formatted(void (*write)(const char*, size_t), char* text, size_t size, const char* format, va_list args)
{
    const int n = std::vsnprintf(text, size, format, args);
    if (n >= 0)
        write(text, static_cast<size_t>(n) < size ? static_cast<size_t>(n) : size - 1);
}

}  // namespace

void console_printf(const char* format, ...)
{
    // Room for the longest message: a prompt quoting a 1023-character scale.
    static char text[16384];
    va_list args;
    va_start(args, format);
    write_formatted(platform_console_write, text, sizeof text, format, args);
    va_end(args);
}

void error_printf(const char* format, ...)
{
    char text[4096];
    va_list args;
    va_start(args, format);
    write_formatted(platform_console_write_error, text, sizeof text, format, args);
    va_end(args);
}
