// What the POSIX backend files share about requests to end: the self-pipe
// that the signal handlers write to, so that every wait (a sleep, the console
// waiting for input) wakes at once, and the terminal restore that the
// handlers need.
#pragma once

// Waits until fd can be read or a request to end is pending, at most
// timeout_ms milliseconds (-1: no limit). Returns 1 when fd can be read,
// 0 at the time limit, -1 when a request to end is pending.
int posix_wait_readable(int fd, int timeout_ms);

// Waits until fd or other_fd can be read or a request to end is pending, at
// most timeout_ms milliseconds (-1: no limit); a negative fd is not watched.
// Returns 1 when fd can be read, 2 when other_fd can (and fd cannot), 0 at
// the time limit, -1 when a request to end is pending.
int posix_wait_either(int fd, int other_fd, int timeout_ms);

// Read end of the wake pipe; -1 until platform_watch_end_requests.
int posix_wake_fd();

// The MIDI input wake-up: a pipe that the threads delivering MIDI input write
// to once they have queued something, so that the console's wait ends at
// once. (midi_wake_posix.cpp)
// Creates it, once; false when it cannot be had.
bool posix_midi_wake_open();
// Read end; -1 before posix_midi_wake_open.
int posix_midi_wake_fd();
// From any thread, real-time ones included: one non-blocking write.
void posix_midi_wake();
// Empties the pipe, before the queues are looked at.
void posix_midi_wake_drain();

// Whether MIDI input is queued. (the system's MIDI input backend)
bool posix_midi_in_pending();

// Puts the terminal back in the mode the program found it in, if it changed
// it. Async-signal-safe. (console_posix.cpp)
void posix_restore_terminal();
