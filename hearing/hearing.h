// Hearing a synthesizer: its tuning measured from its sound, for the modes
// that measure (--measure) and calibrate (--calibrate). The device is driven
// through the program's own MIDI layer and retuning engine, so what is
// measured is what the dialogues send; the sound comes back through an audio
// source (or, for the built-in synthesizer, its own offline render) and
// every pitch is estimated from it. Four stages: the route, the unbent
// tuning of the keys, the pitch-bend range of every melodic channel, and the
// program's own tunings; then the report.
#pragma once

#include "hearing/results.h"

// The voice heard when none is asked: Reed Organ, steady, no vibrato.
constexpr int HEARING_DEFAULT_PROGRAM = 20;

// What to hear; the texts point into argv.
struct HearingRequest {
    const char* option;     // the mode's option ("--measure"), for messages
    const char* device;     // a menu entry: its number (1 = the first) or its name, or a part of it
    const char* audio_in;   // the audio source; nullptr: the built-in synthesizer's offline render
    const int* programs;    // the voices whose keys are measured, the first played in every stage
    int program_count;      // 1.. of them
    bool calibrating;       // also measure what a calibration needs: the keys between two
                            // measured keys that sound apart, and whether pitches go in steps
    const char* json_path;  // where to write the results as JSON; nullptr: nowhere
    const char* plot_path;  // where to draw the SVG chart; nullptr: nowhere
};

// What a mode does at the points where its own work joins the hearing;
// any of them may be nullptr.
struct HearingSteps {
    // The device has just opened (its name in the menu), before any note.
    void (*opened)(const char* device);
    // The keys and the bend ranges are measured; the tunings are next.
    void (*measured)(const MeasureResults& results);
    // The report is out; status is 0 when its files were written. Returns
    // the exit status.
    int (*reported)(const MeasureResults& results, int status);
};

// Hears the synthesizer and prints the report. Returns the exit status: 0
// when it ran (whatever it found), 1 when it could not measure, 2 for
// arguments it cannot use. A request to end (Ctrl-C) ends every note and
// closes the device before the process ends as asked.
int hear_synthesizer(const HearingRequest& request, const HearingSteps& steps);

// Prints the audio sources --audio-in takes; returns the exit status (0).
int list_audio_sources();

// What the last hearing found, as far as it got (tests).
const MeasureResults& hearing_results();

// Back to the state at program start (tests).
void hearing_reset();
