// The output device catalogue, the open port and the two timing operations.
//
// The catalogue lists, in this order: the system's default synthesizer (when
// there is one), every MIDI output port, and the "QuickTime" entry of the
// software-synthesizer bridge (when its libraries load). Entries are chosen
// by index; opening one brings every channel into a known state.
#pragma once

#include "platform/platform.h"

#include <cstdint>

extern const char* const MAPPER_NAME;     // "Standard Device - Midi Mapper"
extern const char* const QUICKTIME_NAME;  // "QuickTime"
extern const char* const NAME_NO_DRIVER;  // "(driver not installed)"
extern const char* const NAME_UNAVAILABLE;  // "(not available)"

// One catalogue entry as the console shows it.
struct OutputDevice {
    int index;        // position in the catalogue; may name no entry
    char name[1024];  // display name; empty for an index that names no entry
};

// Builds the catalogue (and loads the bridge libraries when present) and
// returns the number of entries.
int init_device_catalogue();

// Writes the display name of an entry into buffer (at most length - 1 bytes,
// always terminated; length >= 1) and returns buffer. An index that names no
// entry, negative ones included, gives an empty name.
char* device_name(int index, char* buffer, int length);

// Opens an entry. Returns 1 opened, 2 a device was already open, 0 failed.
// Choosing the "QuickTime" entry starts the bridge first. A negative index
// names no entry: 0, or 2 while a device is open.
int open_device(int index);

// Opens a platform device id (-1 = the default synthesizer) and brings every
// channel into a known state. Returns 1, 2 or 0 as open_device.
int open_port(int device_id);

// Closes the open device and resets the channel state. Returns 1 closed,
// 0 nothing was open. The bridge stays active.
int close_device();

// Seconds since the last successful open, across one wrap of the clock.
double seconds_since_open();

// Sleeps for whole milliseconds, truncated; nothing for 0, negative or NaN.
// Throws EndRequested (platform/end_request.h) when a request to end is
// pending or arrives during the pause.
void pause_seconds(double seconds);

bool port_open();          // a device is open (the bridge too)
int device_count();        // entries in the catalogue

// The catalogue index a typed DEVICE names: its number (1 = the first
// entry), its whole name, or a part of exactly one name, case aside. -1 when
// none, or when a part names more than one.
int find_device(const char* typed);
int quicktime_index();     // index of the "QuickTime" entry, -1 = none
bool mapper_present();     // entry 0 is the default synthesizer

// What a way of tuning adds to every device's closing: it runs right
// before a device closes (nullptr: nothing).
void set_device_closing(void (*closing)());

// Back to the state at program start (tests).
void device_reset();
