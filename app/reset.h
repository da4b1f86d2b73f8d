// Every room of the program back to its state at program start: the one
// place that knows them all, so it sits with the entry above the modes.
#pragma once

// Every subsystem back to its state at program start, the loaded bridge
// released (tests and benchmarks; the platform is theirs to reset).
void program_reset();
