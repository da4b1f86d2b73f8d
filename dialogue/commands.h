// The commands accepted at every test prompt: "voices" lists the General
// MIDI instruments, "voice" with a name or number changes the instrument of
// every melodic channel, and a frequency followed by "hz" sets the 1/1.
#pragma once

// Trims the line in place, then carries it out when it is a command.
// Returns 1 when it was a command, 0 otherwise.
int handle_command(char* line);

// A line beginning with "voice" (any case): finds the program for the rest of
// the line and sends it to every melodic channel. Returns 1 when carried out.
int voice_command(const char* line);

// A line ending in "hz" (any case): the number at its start becomes the
// frequency of the 1/1 (0 or no number: middle C). Returns 1 when carried out.
int hz_command(const char* line);
