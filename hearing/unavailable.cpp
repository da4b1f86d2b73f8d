// Hearing a synthesizer in a build without audio capture and FFTW (the
// Windows build): the options that need it say that they need the Linux
// build.
#include "hearing/hearing.h"

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

int hear_synthesizer(const HearingRequest& request, const HearingSteps&) { return needs_linux(request.option); }

int list_audio_sources() { return needs_linux("--list-audio-in"); }

const MeasureResults& hearing_results()
{
    static const MeasureResults nothing = MeasureResults();
    return nothing;
}

void hearing_reset() {}
