// Fuzz target over SoundFont bytes, as the built-in synthesizer reads the
// file it plays before it tunes it: the reader either refuses the file and
// keeps nothing, or gives tunings for melodic presets only, every pitch a
// finite number of cents, and corrections only on keys that sound.
#include "tests/fuzz/fuzz_targets.h"

#include "bridge/soundfont_pitch.h"

#include <cmath>
#include <vector>

int fuzz_soundfont(const uint8_t* data, size_t size)
{
    std::vector<PresetTuning> tunings;
    if (!soundfont_tunings_from_bytes(data, size, 0.5, &tunings)) {
        FUZZ_CHECK(tunings.empty());
        return 0;
    }
    for (const PresetTuning& t : tunings) {
        FUZZ_CHECK(t.bank >= 0 && t.bank <= 127 && t.program >= 0 && t.program <= 127);
        for (int key = 0; key < SOUNDFONT_KEYS; ++key) {
            FUZZ_CHECK(std::isfinite(t.key_cents[key]) && std::isfinite(t.offset_cents[key]));
            FUZZ_CHECK(!t.corrected[key] || t.sounding[key]);
        }
    }
    return 0;
}
