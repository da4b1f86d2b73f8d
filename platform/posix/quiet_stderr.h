// Keeping other libraries' diagnostics off the user's console: while a
// QuietStderr lives, the process's standard error goes to /dev/null. Audio
// and MIDI libraries (ALSA, JACK, PulseAudio, SDL, RtMidi) write complaints
// there when a device or server is missing. Header-only, so the program's
// platform code and the bridge library can both use it.
#pragma once

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

class QuietStderr {
public:
    QuietStderr()
    {
        std::fflush(stderr);
        saved_ = dup(STDERR_FILENO);
        int null_device = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (saved_ >= 0 && null_device >= 0)
            dup2(null_device, STDERR_FILENO);
        if (null_device >= 0)
            close(null_device);
    }
    ~QuietStderr()
    {
        std::fflush(stderr);
        if (saved_ >= 0) {
            dup2(saved_, STDERR_FILENO);
            close(saved_);
        }
    }
    QuietStderr(const QuietStderr&) = delete;
    QuietStderr& operator=(const QuietStderr&) = delete;

private:
    int saved_;  // the standard error to put back; -1 when it could not be kept
};
