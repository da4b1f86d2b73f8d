// Where calibrations are kept (a JSON file per device in the settings
// folder's "calibrations"), and putting a device's own in use as it opens.
#pragma once

#include "calibration/calibration.h"

#include <string>

// The file of a device's calibration: its menu name with every character
// but letters, digits, space, '.', '-' and '_' made '_', and ".json", in the
// calibrations folder. Empty when the system names no settings folder.
std::string calibration_path(const char* device);

// Writes calibration to its device's file, making the folder when needed.
// Returns the file's path, or an empty text after saying on the error
// stream why it could not be written.
std::string keep_calibration(const Calibration& calibration);

// Puts the calibration of the device just opened in use, or none: with no
// file (or with calibrations ignored) nothing is said and nothing changes;
// with one, one line says what it corrects; with one that cannot be used,
// one line on the error stream names the file and the reason, and the
// device plays uncalibrated. Returns true when a calibration is in use.
bool use_device_calibration(const char* device);

// --no-calibration: every device plays uncalibrated for this run.
void ignore_calibrations(bool ignore);

// Prints every kept calibration: its device, date and what it corrects, or
// why it cannot be used. Returns the exit status (0).
int list_calibrations();

// Back to the state at program start (tests): none in use, none ignored.
void calibration_reset();
