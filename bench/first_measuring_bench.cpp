// The first measuring of a SoundFont that ships with no tunings, timed as a
// user meets it: the program a device plays is asked for first (as the
// bridge asks for every program change), and the bench prints when that
// program's tuning was ready, when every preset's was, and the peak memory
// of the whole run. The targets on a 2-core machine: the program played
// within 5 s, everything within 60 s, at most 138 MB.
//
//   varenta_first_measuring_bench [SoundFont] [--program N]
#include "bridge/first_measuring.h"

#include <sys/resource.h>

#include <fluidsynth.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

const char* const kDefaultSoundFont = "/usr/share/sounds/sf2/FluidR3_GM.sf2";
constexpr int kDefaultProgram = 20;  // Reed Organ, the voice --measure plays
constexpr double kProgramTargetSeconds = 5.0;
constexpr double kAllTargetSeconds = 60.0;
constexpr double kMemoryTargetMb = 138.0;

struct Timing {
    std::chrono::steady_clock::time_point started;
    int program;             // bank 0
    double program_seconds;  // when its tuning was handed over; negative until then
    int presets;             // handed over so far
};

void note_preset(const PresetTuning& tuning, void* data)
{
    Timing* timing = static_cast<Timing*>(data);
    ++timing->presets;
    if (tuning.bank == 0 && tuning.program == timing->program)
        timing->program_seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - timing->started).count();
}

}  // namespace

int main(int argc, char** argv)
{
    std::string soundfont = kDefaultSoundFont;
    int program = kDefaultProgram;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--program") == 0 && i + 1 < argc)
            program = std::atoi(argv[++i]);
        else
            soundfont = argv[i];
    }
    // FluidSynth's complaints about the SoundFont are no news here.
    for (int level = FLUID_PANIC; level <= FLUID_DBG; ++level)
        fluid_set_log_function(level, nullptr, nullptr);
    MeasuringOrder order;
    order.ask(0, 0);  // what the channels play at the start,
    order.ask(0, program);  // then the program the device is given
    Timing timing{std::chrono::steady_clock::now(), program, -1.0, 0};
    std::vector<PresetTuning> tunings;
    if (!measure_soundfont_in_order(soundfont.c_str(), &tunings, nullptr, &order, note_preset, &timing)) {
        std::fprintf(stderr, "cannot read the presets of %s\n", soundfont.c_str());
        return 2;
    }
    const double all_seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - timing.started).count();
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    const double peak_mb = usage.ru_maxrss / 1024.0;
    size_t keys = 0;
    for (const PresetTuning& t : tunings) {
        for (bool corrected : t.corrected)
            keys += corrected ? 1 : 0;
    }
    std::printf("%s: %zu presets, %zu keys corrected, on %u threads\n", soundfont.c_str(), tunings.size(), keys,
                std::thread::hardware_concurrency());
    std::printf("program %d ready after %6.1f s (target %.0f s)\n", program, timing.program_seconds,
                kProgramTargetSeconds);
    std::printf("every preset after %8.1f s (target %.0f s)\n", all_seconds, kAllTargetSeconds);
    std::printf("peak memory       %8.1f MB (target %.0f MB)\n", peak_mb, kMemoryTargetMb);
    const bool met = timing.program_seconds >= 0.0 && timing.program_seconds <= kProgramTargetSeconds &&
                     all_seconds <= kAllTargetSeconds && peak_mb <= kMemoryTargetMb;
    std::printf("%s\n", met ? "targets met" : "targets missed");
    return 0;
}
