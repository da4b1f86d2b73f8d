// The measurement's results as people read them (a table per stage, the
// worst and typical error, a one-line verdict) and as scripts read them
// (JSON).
#pragma once

#include "hearing/results.h"

#include <string>

// printf-style formatting into a string (up to 1023 bytes).
std::string text_format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));

// The verdict, one line without its end: how close the program's tunings
// land, and the faults that explain it (a bend range other than the one
// asked, a detuned channel).
std::string verdict(const MeasureResults& results);

// The readable report, the verdict last.
std::string report_text(const MeasureResults& results);

// The results as one JSON object: latency_ms, level_db, keys [{key, cents}],
// key_runs, channels [{channel, cents_at_zero_bend, bend_up_semitones,
// bend_down_semitones, linearity_cents, obeys_range_message, shifts}],
// tunings [{test, asked_hz, measured_hz, cents, channel, key, bend}],
// verdict, and what was measured how. Values not measured are null.
std::string report_json(const MeasureResults& results);
