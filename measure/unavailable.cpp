// The measuring options in a build without audio capture and FFTW (the
// Windows build): they say that they need the Linux build.
#include "measure/measure.h"
#include "measure/results.h"

#include "platform/platform.h"

#include <cstring>

namespace {

int needs_linux(const char* option)
{
    const char* parts[] = {"varenta-test: ", option, " needs the Linux build of varenta-test "
                           "(it measures through JACK, ALSA or PulseAudio)\n"};
    for (const char* part : parts)
        platform_console_write_error(part, std::strlen(part));
    return 2;
}

}  // namespace

int run_measure(const MeasureRequest&) { return needs_linux("--measure"); }

int list_audio_sources() { return needs_linux("--list-audio-in"); }

const MeasureResults& measure_results()
{
    static const MeasureResults nothing = MeasureResults();
    return nothing;
}

void measure_reset() {}
