// The --measure mode; see measure.h.
#include "measure/measure.h"

#include "hearing/hearing.h"
#include "retune/method.h"
#include "voices/voices.h"

int run_measure(const MeasureRequest& request)
{
    char name[100];
    const int program = request.voice != nullptr ? find_voice(request.voice, name, sizeof name)
                                                 : HEARING_DEFAULT_PROGRAM;
    const HearingRequest hearing = {"--measure", request.device, request.audio_in, &program, 1, false,
                                    request.json_path, request.plot_path};
    const HearingSteps steps = {tune_opened_device, nullptr, nullptr};
    return hear_synthesizer(hearing, steps);
}
