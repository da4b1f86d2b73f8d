// The commands accepted at every test prompt: "voices" lists the General
// MIDI instruments, "voice" with a name or number changes the instrument of
// every melodic channel, and a frequency followed by "hz" sets the 1/1.
#pragma once

// Trims the line in place, then carries it out when it is a command.
// Returns 1 when it was a command, 0 otherwise.
int handle_command(char* line);
