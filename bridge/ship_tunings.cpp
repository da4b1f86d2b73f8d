// Makes the table of key tunings that ships with the program for a
// SoundFont (shipped_tunings.h): the SoundFont measured exactly as the
// bridge's first measuring measures it, on every core.
//
//   sonvex_ship_tunings SOUNDFONT TABLE
#include "bridge/first_measuring.h"
#include "bridge/shipped_tunings.h"

#include <fluidsynth.h>

#include <chrono>
#include <cstdio>
#include <string>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: sonvex_ship_tunings SOUNDFONT TABLE\n");
        return 2;
    }
    // FluidSynth's complaints about the SoundFont are no news here.
    for (int level = FLUID_PANIC; level <= FLUID_DBG; ++level)
        fluid_set_log_function(level, nullptr, nullptr);
    const std::string path = argv[1];
    uint64_t bytes = 0, hash = 0;
    std::vector<PresetTuning> tunings;
    const auto started = std::chrono::steady_clock::now();
    if (!soundfont_identity(path.c_str(), &bytes, &hash) || !measure_soundfont(path.c_str(), &tunings, nullptr)) {
        std::fprintf(stderr, "sonvex_ship_tunings: cannot read the presets of %s\n", path.c_str());
        return 1;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const size_t slash = path.find_last_of('/');
    const std::string text =
        shipped_tunings_text(tunings, bytes, hash, slash == std::string::npos ? path : path.substr(slash + 1));
    std::FILE* out = std::fopen(argv[2], "w");
    if (out == nullptr || std::fwrite(text.data(), 1, text.size(), out) != text.size() || std::fclose(out) != 0) {
        std::fprintf(stderr, "sonvex_ship_tunings: cannot write %s\n", argv[2]);
        return 1;
    }
    size_t keys = 0;
    for (const PresetTuning& t : tunings) {
        for (bool corrected : t.corrected)
            keys += corrected ? 1 : 0;
    }
    std::printf("%s: %zu presets, %zu keys corrected, measured in %.1f s\n", argv[2], tunings.size(), keys, seconds);
    return 0;
}
