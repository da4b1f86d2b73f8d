// How every console backend turns a stream of bytes into one line: up to the
// next line feed (a CR LF line end counts as one), keeping the first
// size - 1 bytes and discarding the rest of an over-long line, so that it is
// never read as the next line.
#pragma once

// take_byte() returns the next byte (0..255) or -1 at the end of input.
// Returns the stored length; the caller has checked that a byte is pending.
template <class TakeByte>
int assemble_line(TakeByte take_byte, char* buffer, int size)
{
    int length = 0;
    int read = 0;        // bytes of the line read, its line feed not counted
    int last = -1;       // the last of them
    for (;;) {
        int c = take_byte();
        if (c < 0 || c == '\n')
            break;
        ++read;
        last = c;
        if (length < size - 1)
            buffer[length++] = static_cast<char>(c);
    }
    // A CR that ends the line is part of its line end, when it was kept at
    // all; a CR inside a line cut short stays.
    if (last == '\r' && read == length && length > 0)
        --length;
    if (size >= 1)
        buffer[length] = '\0';
    return length;
}
