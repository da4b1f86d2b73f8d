// The --measure mode: a synthesizer's tuning measured from its sound and
// reported, played through its calibration when it has one, so that the
// tunings stage shows what the dialogues really sound on it.
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
// arguments it cannot use.
int run_measure(const MeasureRequest& request);
