// Measuring a synthesizer's tuning from its sound: the --measure and
// --list-audio-in options. The device is driven through the program's own
// MIDI layer and retuning engine, so what is measured is what the dialogues
// send; the sound comes back through an audio source (or, for the built-in
// synthesizer, its own offline render) and every pitch is estimated from it.
#pragma once

// What --measure was asked to do; the texts point into argv.
struct MeasureRequest {
    const char* device;     // a menu entry: its number (1 = the first) or its name, or a part of it
    const char* audio_in;   // the audio source; nullptr: the built-in synthesizer's offline render
    const char* voice;      // a General MIDI voice as the voice command takes it; nullptr: Reed Organ
    const char* json_path;  // where to write the results as JSON; nullptr: nowhere
    const char* plot_path;  // where to draw the SVG chart; nullptr: nowhere
};

// Runs the measurement and prints its report. Returns the exit status: 0
// when it ran (whatever it found), 1 when it could not measure, 2 for
// arguments it cannot use. A request to end (Ctrl-C) ends every note and
// closes the device before the process ends as asked.
int run_measure(const MeasureRequest& request);

// Prints the audio sources --audio-in takes; returns the exit status (0).
int list_audio_sources();

// What the last measurement found, as far as it got (tests).
struct MeasureResults;
const MeasureResults& measure_results();

// Back to the state at program start (tests).
void measure_reset();
