// Keys as the console delivers them. Arrow, editing and function keys reach
// a Linux terminal as escape sequences; the dialogue takes such a key, as a
// PC console gives it, as two keystrokes: a lead byte (224, or 0 for F1-F10)
// and a scan code. Portable so it can be tested without a terminal.
#pragma once

struct ConsoleKey {
    int lead;  // 224, or 0 for F1 to F10
    int scan;  // the PC scan code: 72 up, 80 down, 75 left, 77 right, 59.. F1..
};

// bytes[0] is ESC. Returns the length of the escape sequence that starts
// there and names a key (and stores the key), or 0 when the bytes are no
// complete sequence of a known key.
int decode_key_sequence(const unsigned char* bytes, int length, ConsoleKey* key);

// How a keystroke is echoed: control bytes other than CR, LF, tab and
// backspace in caret notation ("^[" for ESC, "^?" for DEL), as a terminal
// echoes them; other bytes as they are. Writes 1 or 2 bytes; returns the count.
int key_echo(int byte, char* out);
