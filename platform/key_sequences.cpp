// Console keys; see key_sequences.h.
#include "platform/key_sequences.h"

namespace {

constexpr int kExtended = 224;  // lead byte of arrow and editing keys (and F11, F12)
constexpr int kFunction = 0;    // lead byte of F1 to F10

// Keys named by the final byte of "ESC [ x", "ESC O x" or "ESC [ 1 ; m x".
bool final_byte_key(int final, ConsoleKey* key)
{
    switch (final) {
    case 'A': *key = {kExtended, 72}; return true;  // up
    case 'B': *key = {kExtended, 80}; return true;  // down
    case 'C': *key = {kExtended, 77}; return true;  // right
    case 'D': *key = {kExtended, 75}; return true;  // left
    case 'H': *key = {kExtended, 71}; return true;  // home
    case 'F': *key = {kExtended, 79}; return true;  // end
    case 'P': *key = {kFunction, 59}; return true;  // F1
    case 'Q': *key = {kFunction, 60}; return true;  // F2
    case 'R': *key = {kFunction, 61}; return true;  // F3
    case 'S': *key = {kFunction, 62}; return true;  // F4
    default: return false;
    }
}

// Keys named by "ESC [ n ~".
bool numbered_key(int n, ConsoleKey* key)
{
    switch (n) {
    case 1: case 7: *key = {kExtended, 71}; return true;  // home
    case 2: *key = {kExtended, 82}; return true;           // insert
    case 3: *key = {kExtended, 83}; return true;           // delete
    case 4: case 8: *key = {kExtended, 79}; return true;  // end
    case 5: *key = {kExtended, 73}; return true;           // page up
    case 6: *key = {kExtended, 81}; return true;           // page down
    case 11: case 12: case 13: case 14: case 15: *key = {kFunction, 59 + n - 11}; return true;  // F1-F5
    case 17: case 18: case 19: case 20: case 21: *key = {kFunction, 64 + n - 17}; return true;  // F6-F10
    case 23: *key = {kExtended, 133}; return true;  // F11
    case 24: *key = {kExtended, 134}; return true;  // F12
    default: return false;
    }
}

}  // namespace

int decode_key_sequence(const unsigned char* bytes, int length, ConsoleKey* key)
{
    if (length < 3 || bytes[0] != 27)
        return 0;
    if (bytes[1] == 'O')
        return final_byte_key(bytes[2], key) ? 3 : 0;
    if (bytes[1] != '[')
        return 0;
    if (bytes[2] == '[') {  // the Linux console's F1 to F5: ESC [ [ A .. E
        if (length < 4 || bytes[3] < 'A' || bytes[3] > 'E')
            return 0;
        *key = {kFunction, 59 + bytes[3] - 'A'};
        return 4;
    }
    // Parameters (digits and ';'), then one final byte.
    int first_number = 0;
    bool in_first = true;
    for (int i = 2; i < length && i < 16; ++i) {
        int c = bytes[i];
        if (c >= '0' && c <= '9') {
            if (in_first && first_number < 1000)  // no key has a longer number
                first_number = first_number * 10 + (c - '0');
            continue;
        }
        if (c == ';') {
            in_first = false;
            continue;
        }
        if (c == '~')
            return numbered_key(first_number, key) ? i + 1 : 0;
        return final_byte_key(c, key) ? i + 1 : 0;  // modifiers, as in ESC [ 1 ; 5 A, are ignored
    }
    return 0;
}

int key_echo(int byte, char* out)
{
    bool control = (byte < 32 && byte != '\r' && byte != '\n' && byte != '\t' && byte != '\b') || byte == 127;
    if (!control) {
        out[0] = static_cast<char>(byte);
        return 1;
    }
    out[0] = '^';
    out[1] = static_cast<char>(byte ^ 0x40);
    return 2;
}
