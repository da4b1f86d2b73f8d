// The --calibrate mode: a synthesizer heard as --measure hears it, and what
// keeps it out of tune kept as its calibration, which every later run that
// opens it plays through. The tunings stage already plays through the new
// calibration, so the report shows how the device sounds from now on.
#pragma once

// What --calibrate was asked to do; the texts point into argv.
struct CalibrateRequest {
    const char* device;          // a menu entry: its number (1 = the first) or its name, or a part of it
    const char* audio_in;        // the audio source; nullptr: the built-in synthesizer's offline render
    const char* const* voices;   // the General MIDI voices whose keys to measure, as typed; "all": the 128
    int voice_count;             // 0: Reed Organ alone
    const char* json_path;       // where to write the measurement as JSON; nullptr: nowhere
    const char* plot_path;       // where to draw the SVG chart; nullptr: nowhere
};

// Hears the device, keeps its calibration and prints the report, its file's
// path last. Returns the exit status: 0 when the calibration was kept, 1
// when the device could not be measured (nothing is kept then), 2 for
// arguments it cannot use.
int run_calibrate(const CalibrateRequest& request);
