// The --calibrate mode; see calibrate.h.
#include "calibrate/calibrate.h"

#include "calibration/correction.h"
#include "calibration/store.h"
#include "console/console.h"
#include "hearing/hearing.h"
#include "retune/method.h"
#include "voices/voices.h"

#include <cmath>
#include <ctime>
#include <string>

namespace {

constexpr int kPrograms = 128;

// The calibration the hearing's figures make, and why none could be made.
struct Made {
    Calibration calibration;
    std::string fault;  // empty when the calibration is whole
} made;

std::string today()
{
    const std::time_t now = std::time(nullptr);
    char date[16] = "";
    std::strftime(date, sizeof date, "%Y-%m-%d", std::localtime(&now));
    return date;
}

// The measured offset of the reference key, against which the channels'
// own offsets are taken; NaN when it was not measured.
double reference_offset(const MeasureResults& results)
{
    for (const KeyOffset& k : results.keys) {
        if (k.key == results.reference_key)
            return k.cents;
    }
    return std::nan("");
}

bool finite_offset(double cents) { return std::isfinite(cents) && std::fabs(cents) <= CALIBRATION_MAX_OFFSET_CENTS; }

// A voice's keys as runs; a voice none of whose keys gave a steady pitch is
// left out (it plays with the channels' corrections alone).
void add_voice(int program, const std::string& name, const std::vector<KeyOffset>& keys)
{
    CalibrationVoice voice{program, name, key_runs(keys)};
    for (const KeyRun& run : voice.runs) {
        if (!finite_offset(run.cents))
            return;
    }
    if (!voice.runs.empty())
        made.calibration.voices.push_back(voice);
}

void make_calibration(const MeasureResults& results)
{
    made = Made();
    made.calibration.device = results.device;
    made.calibration.date = today();
    // A synthesizer that cuts pitches to whole cents sounds the step below
    // any pitch between two: asked that much higher, it sounds the nearest.
    // The step up came step_at cents above the unbent key; half a step
    // before it is the middle of the pitches it sounds as one.
    // The built-in synthesizer's own key corrections put each key's steps
    // elsewhere, so no one centring fits them all.
    const bool keys_corrected = results.corrections == "shipped" || results.corrections == "cached";
    made.calibration.pitch_step_cents = 0.0;
    made.calibration.centre_cents = 0.0;
    if (!keys_corrected && results.pitch_step_cents > 0.0 && std::isfinite(results.step_at_cents)) {
        made.calibration.pitch_step_cents = results.pitch_step_cents;
        made.calibration.centre_cents = results.step_at_cents - 0.5 * results.pitch_step_cents;
    }
    // The built-in synthesizer tunes its keys itself, from corrections of
    // its own: what is left of them is its whole-cent steps, which a key
    // offset would only move about.
    if (!keys_corrected) {
        add_voice(results.program, results.voice, results.keys);
        for (const VoiceKeys& v : results.other_voices)
            add_voice(v.program, v.voice, v.keys);
    }
    const double reference = reference_offset(results);
    if (std::isnan(reference))
        made.fault = "the reference key gave no steady pitch";
    for (const ChannelBend& c : results.channels) {
        const CalibrationChannel channel{c.channel, c.bend_up_semitones, c.bend_down_semitones,
                                         c.cents_at_zero_bend - reference};
        if (made.fault.empty() && !(channel.bend_up_semitones > 0.0 && channel.bend_down_semitones > 0.0 &&
                                    finite_offset(channel.offset_cents)))
            made.fault = "channel " + std::to_string(c.channel) + " gave no steady bend range or offset";
        made.calibration.channels.push_back(channel);
    }
    if (made.fault.empty() && made.calibration.channels.empty())
        made.fault = "no channel was measured";
    // The tunings stage plays through it, so the report shows the device as
    // it will sound from now on.
    if (made.fault.empty())
        use_calibration(made.calibration);
}

int keep(const MeasureResults& results, int status)
{
    made.calibration.obeys_mts = results.obeys_mts == 1;
    made.calibration.mts_needs_program = results.mts_needs_program == 1;
    made.calibration.obeys_mpe = results.obeys_mpe == 1;
    if (!made.fault.empty()) {
        error_printf("%s: no calibration kept: %s\n", PROGRAM_NAME, made.fault.c_str());
        return 1;
    }
    const std::string path = keep_calibration(made.calibration);
    if (path.empty())
        return 1;
    console_printf("Calibration kept in %s\n", path.c_str());
    return status;
}

}  // namespace

int run_calibrate(const CalibrateRequest& request)
{
    // The voices in the order asked, each once; the first plays every stage.
    int programs[kPrograms];
    int count = 0;
    bool every = false;
    auto add = [&](int program) {
        for (int j = 0; j < count; ++j) {
            if (programs[j] == program)
                return;
        }
        programs[count++] = program;
    };
    for (int i = 0; i < request.voice_count; ++i) {
        char name[100];
        if (equals_nocase(request.voices[i], "all"))
            every = true;
        else
            add(find_voice(request.voices[i], name, sizeof name));
    }
    if (count == 0)
        add(HEARING_DEFAULT_PROGRAM);
    for (int p = 0; every && p < kPrograms; ++p)
        add(p);
    made = Made();
    made.fault = "the device was not measured";
    set_tuning_method(METHOD_BEND);  // what the hearing measures is the device as pitch bend plays it
    const HearingRequest hearing = {"--calibrate", request.device, request.audio_in, programs, count, true,
                                    request.json_path, request.plot_path};
    const HearingSteps steps = {[](const char*) { drop_calibration(); }, make_calibration, keep};
    const int status = hear_synthesizer(hearing, steps);
    drop_calibration();
    return status;
}
