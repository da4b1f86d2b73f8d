// The dialogue: start-up, the device menu and the sequence of listening
// tests, until the musician leaves or input ends.
#pragma once

// The program: returns its exit status (0 on every orderly end). A request to
// end (Ctrl-C, a hang-up, a termination signal) ends every note and closes the
// device, then ends the process as the request asked.
int run_program();

// Back to the state at program start (tests).
void driver_reset();
