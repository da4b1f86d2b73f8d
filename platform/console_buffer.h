// The one input buffer every console backend reads through: the three console
// reads take their bytes from it in order, so a key read never overtakes a
// line typed ahead. Each backend refills it its own way (a terminal or a pipe,
// a console or a pipe read ahead by a thread).
#pragma once

#include "platform/key_sequences.h"
#include "platform/platform.h"

struct ConsoleBuffer {
    unsigned char bytes[4096];  // bytes read from standard input and not yet taken
    int start;                  // first pending byte in bytes, 0..end
    int end;                    // one past the last pending byte, 0..4096
    bool ended;                 // standard input has ended (or failed)
    int pending_scan;           // scan code of a two-byte key whose lead byte was delivered; -1 = none
};

// Makes at least one byte pending: refill() reads more into bytes (setting
// start and end, or ended) when none is, and returns false when it got none.
// False once input has ended or while a request to end is pending (which wins
// over input already typed ahead).
template <class Refill>
bool console_fill(ConsoleBuffer& in, Refill refill)
{
    if (platform_end_request() != 0)
        return false;
    if (in.start < in.end)
        return true;
    if (in.ended)
        return false;
    return refill();
}

// The next byte (0..255), or -1 as console_fill says.
template <class Refill>
int console_take_byte(ConsoleBuffer& in, Refill refill)
{
    if (!console_fill(in, refill))
        return -1;
    return in.bytes[in.start++];
}

// The scan code owed by the last two-byte key, taken (it is not echoed); -1
// when none is owed.
inline int console_take_pending_scan(ConsoleBuffer& in)
{
    int scan = in.pending_scan;
    in.pending_scan = -1;
    return scan;
}

// Echoes a keystroke as key_echo has it through write(text, length), the
// backend's own console output, so that the buffer never calls back into
// the backend that includes it.
template <class Write>
void console_echo_key(int byte, Write write)
{
    char echo[2];
    write(echo, static_cast<size_t>(key_echo(byte, echo)));
}
