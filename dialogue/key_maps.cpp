// The key maps of the keyboard and percussion tests; see key_maps.h.
#include "dialogue/key_maps.h"

namespace {

// A punctuation row: the keys that share it, its keyboard degree and its
// percussion index.
struct PunctuationRow {
    const char* keys;
    int degree;
    int percussion;
};

// The last row holds the backslash, '|', the grave accent and 0xAC, the
// byte of the negation sign that shares their key on UK keyboards.
const PunctuationRow kRows[] = {
    {"-_", 37, 36}, {"+=", 38, 37}, {"[{", 39, 38}, {"]}", 40, 39}, {":;", 41, 40},
    {"'@", 42, 41}, {"#~", 43, 42}, {",<", 44, 43}, {".>", 45, 44}, {"/?", 46, 45},
    {"\\|`\xAC", 37, 46},
};

// Digits 0..9 and letters 10..35 (either case); -1 for anything else.
int alphanumeric(int key)
{
    if (key >= '0' && key <= '9')
        return key - '0';
    if (key >= 'a' && key <= 'z')
        return key - 'a' + 10;
    if (key >= 'A' && key <= 'Z')
        return key - 'A' + 10;
    return -1;
}

const PunctuationRow* punctuation(int key)
{
    if (key <= 0 || key > 255)
        return nullptr;
    for (const PunctuationRow& row : kRows) {
        for (const char* k = row.keys; *k != '\0'; ++k) {
            if (static_cast<unsigned char>(*k) == key)
                return &row;
        }
    }
    return nullptr;
}

}  // namespace

int keyboard_degree(int key)
{
    int index = alphanumeric(key);
    if (index >= 0)
        return index;
    const PunctuationRow* row = punctuation(key);
    return row != nullptr ? row->degree : -1;
}

int percussion_index(int key)
{
    int index = alphanumeric(key);
    if (index >= 0)
        return index;
    const PunctuationRow* row = punctuation(key);
    return row != nullptr ? row->percussion : -1;
}
