// The one rule every backend applies before it sends a system exclusive
// message, so that a malformed message is refused the same way everywhere
// (the fake platform included) and never reaches a device half formed.
#pragma once

#include <cstddef>
#include <cstdint>

// True for one whole system exclusive message as platform_midi_send_sysex
// takes it: 0xF0 first, 0xF7 last, every byte between below 0x80, and 3 to
// PLATFORM_SYSEX_MAX bytes in all. False when bytes is nullptr.
bool sysex_well_formed(const uint8_t* bytes, size_t length);
