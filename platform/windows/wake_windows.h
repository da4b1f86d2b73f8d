// What the Windows backend files share about requests to end: the event that
// a request sets, so that every wait (a sleep, the console waiting for input)
// wakes at once, and the console's restore that an ending needs.
#pragma once

#include <windows.h>

// The manual-reset event set when a request to end arrives; nullptr until
// platform_watch_end_requests.
HANDLE windows_wake_event();

// Puts the console's input mode back as the program found it, if it changed
// it. Safe from the console's control handler thread. (console_windows.cpp)
void windows_restore_console();

// Makes a line read from the console that is in progress return, so that the
// main thread sees the request. Safe from the control handler thread.
// (console_windows.cpp)
void windows_interrupt_console_read();

// Which keystroke a console key event is: 0 for none (a key released, a
// modifier key alone), 1 for a one-byte key (*lead holds the byte), 2 for a
// two-byte key as a PC console gives arrow, editing and function keys: *lead
// 224 (or 0 for F1 to F10 and the keypad's keys), *scan the scan code.
// (console_windows.cpp)
int windows_key_bytes(const KEY_EVENT_RECORD& key, int* lead, int* scan);
