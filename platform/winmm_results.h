// What the Windows multimedia MIDI output calls report, as the seam reports
// it: their result codes, and a port's product name cut to the caller's
// buffer. Plain functions of their inputs, with no Windows header, so that
// they can be tested on every system.
#pragma once

#include <cstddef>

// The WinMM result codes the seam tells apart (MMSYSERR_* in <mmsystem.h>).
constexpr unsigned WINMM_NO_ERROR = 0;
constexpr unsigned WINMM_BAD_DEVICE_ID = 2;
constexpr unsigned WINMM_NO_DRIVER = 6;

// The seam's result for a WinMM result: PLATFORM_OK, PLATFORM_BAD_DEVICE,
// PLATFORM_NO_DRIVER, or PLATFORM_UNAVAILABLE for any other failure.
int winmm_seam_result(unsigned result);

// The name reading of midiOutGetDevCapsA as the seam gives it: on success the
// product name (a field of field_size bytes, read up to its first zero byte
// and never past the field), else nothing, cut to at most length - 1 bytes
// and terminated in buffer (when length >= 1). Returns winmm_seam_result.
int winmm_port_name(unsigned result, const char* product_name, size_t field_size, char* buffer, int length);
