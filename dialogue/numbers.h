// Whole numbers typed by the user.
#pragma once

// The leading integer of text as the standard conversion reads it (white
// space, an optional sign, digits; no digits give 0), held to the int range
// instead of overflowing.
int typed_int(const char* text);

// value held to the int range.
int saturate_int(long long value);
