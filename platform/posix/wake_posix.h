// What the POSIX backend files share about requests to end: the self-pipe
// that the signal handlers write to, so that every wait (a sleep, the console
// waiting for input) wakes at once, and the terminal restore that the
// handlers need.
#pragma once

// Waits until fd can be read or a request to end is pending, at most
// timeout_ms milliseconds (-1: no limit). Returns 1 when fd can be read,
// 0 at the time limit, -1 when a request to end is pending.
int posix_wait_readable(int fd, int timeout_ms);

// Read end of the wake pipe; -1 until platform_watch_end_requests.
int posix_wake_fd();

// Puts the terminal back in the mode the program found it in, if it changed
// it. Async-signal-safe. (console_posix.cpp)
void posix_restore_terminal();
