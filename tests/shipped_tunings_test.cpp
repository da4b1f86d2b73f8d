// The key tunings that ship with the program and the first measuring of a
// SoundFont without them: a table is taken only by the very SoundFont it was
// measured from, the FluidR3 GM table still matches what the measuring finds
// today, and the programs a device plays are measured first.
#include "bridge/first_measuring.h"
#include "bridge/heard_tuning.h"
#include "bridge/shipped_tunings.h"
#include "sine_soundfont.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace {

const char* const kFluidR3 = "/usr/share/sounds/sf2/FluidR3_GM.sf2";

std::string temp_name(const std::string& what)
{
    return ::testing::TempDir() + "varenta-shipped-" + std::to_string(getpid()) + "-" + what;
}

void write_file(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

// Four presets of a single-cycle loop 5.01 cents flat of middle C, one of
// them 3 cents sharper by its fine tune.
SineSoundFont flat_presets()
{
    const SineSample flat_c{24000, 92, 1, 60, 0, true};
    SineSoundFont font{{flat_c}, {}};
    for (int program = 0; program < 4; ++program)
        font.presets.push_back(SinePreset{0, program, {SineZone{0, 127, 0, 0, 127, program == 2 ? 3 : 0}}});
    return font;
}

}  // namespace

TEST(ShippedTunings, TakenOnlyByTheSoundFontTheyWereMeasuredFrom)
{
    const std::string font_path = temp_name("font.sf2"), dir = temp_name("tables");
    ASSERT_TRUE(write_sine_soundfont(font_path, flat_presets()));
    ASSERT_EQ(system(("mkdir -p '" + dir + "'").c_str()), 0);
    std::vector<PresetTuning> measured, shipped;
    ASSERT_TRUE(soundfont_tunings_from_file(font_path.c_str(), 0.5, &measured));
    uint64_t bytes = 0, hash = 0;
    ASSERT_TRUE(soundfont_identity(font_path.c_str(), &bytes, &hash));
    const std::string table = shipped_tunings_text(measured, bytes, hash, "font.sf2");
    write_file(dir + "/font.tunings", table);
    write_file(dir + "/other.tunings", "varenta-tunings 1\nsoundfont 12 0123456789abcdef other.sf2\n0 0 60 1.0 0\n");

    // The very file: the same key tunings as measured, to the table's 1e-6 cent.
    ASSERT_TRUE(soundfont_tunings_shipped(font_path.c_str(), 0.5, dir, &shipped));
    ASSERT_EQ(shipped.size(), measured.size());
    for (size_t p = 0; p < measured.size(); ++p) {
        EXPECT_EQ(shipped[p].program, measured[p].program);
        for (int key : {0, 40, 60, 61, 127}) {
            EXPECT_TRUE(shipped[p].corrected[key]) << key;
            EXPECT_NEAR(shipped[p].key_cents[key], measured[p].key_cents[key], 2e-6) << key;
        }
    }

    // One byte of sample data changed, the size the same: not this SoundFont.
    std::vector<uint8_t> changed = sine_soundfont_bytes(flat_presets());
    changed[changed.size() / 2] ^= 1;
    write_file(font_path, std::string(changed.begin(), changed.end()));
    EXPECT_FALSE(soundfont_tunings_shipped(font_path.c_str(), 0.5, dir, &shipped));
    EXPECT_TRUE(shipped.empty());

    // The file again, but tables that do not fit it are refused whole: a
    // key the preset does not play, a malformed line, another version.
    ASSERT_TRUE(write_sine_soundfont(font_path, flat_presets()));
    ASSERT_TRUE(soundfont_tunings_shipped(font_path.c_str(), 0.5, dir, &shipped));
    for (const std::string& wrong : {table + "0 9 60 1.0 0\n", table + "0 0 60 one 0\n", table + "0 0 60 1.0 0 x\n",
                                     table + "0 0 60 80.0 0\n"}) {
        write_file(dir + "/font.tunings", wrong);
        EXPECT_FALSE(soundfont_tunings_shipped(font_path.c_str(), 0.5, dir, &shipped)) << wrong.substr(table.size());
    }
    std::string version_2 = table;
    version_2[16] = '2';
    write_file(dir + "/font.tunings", version_2);
    EXPECT_FALSE(soundfont_tunings_shipped(font_path.c_str(), 0.5, dir, &shipped));
    EXPECT_FALSE(soundfont_tunings_shipped(font_path.c_str(), 0.5, dir + "/missing", &shipped));
    EXPECT_EQ(system(("rm -r '" + dir + "' '" + font_path + "'").c_str()), 0);
}

// The shipped table against the measuring as it is now, for a sample of
// programs (the dialogue's Harpsichord, --measure's Reed Organ, a flute, a
// string section): a change in the measuring or in FluidSynth that moves a
// shipped correction shows here. Debian's FluidR3 GM must be the very file
// the table was made from.
TEST(ShippedTunings, FluidR3TableMatchesAFreshMeasurement)
{
    std::vector<PresetTuning> shipped;
    ASSERT_TRUE(soundfont_tunings_shipped(kFluidR3, 0.0, VARENTA_SHIPPED_TUNINGS_DIR, &shipped))
        << "the shipped table is not FluidR3 GM's as installed: run scripts/ship-tunings";
    SoundFontPresets presets;
    ASSERT_TRUE(presets.open(kFluidR3));
    KeyRenderer* renderer = key_renderer_new(kFluidR3);
    ASSERT_NE(renderer, nullptr);
    int compared = 0;
    for (size_t i = 0; i < presets.count(); ++i) {
        const int program = presets.program(i);
        if (presets.bank(i) != 0 || (program != 6 && program != 20 && program != 73 && program != 48))
            continue;
        PresetTuning fresh;
        ASSERT_TRUE(presets.tuning(i, &fresh, nullptr));
        ASSERT_TRUE(hear_preset(renderer, &fresh, nullptr));
        const PresetTuning& kept = shipped[i];
        ASSERT_EQ(kept.program, program);
        for (int key = 0; key < SOUNDFONT_KEYS; ++key) {
            EXPECT_EQ(kept.corrected[key], fresh.corrected[key]) << program << " key " << key;
            if (kept.corrected[key] && fresh.corrected[key]) {
                EXPECT_NEAR(kept.offset_cents[key], fresh.offset_cents[key], 0.01) << program << " key " << key;
                ++compared;
            }
        }
    }
    key_renderer_delete(renderer);
    EXPECT_GT(compared, 100);
}

TEST(FirstMeasuring, TheProgramsAskedForComeFirst)
{
    // The order alone: asked presets, latest first, then the file's order;
    // a preset already begun, or asked out of range, changes nothing.
    const std::vector<int> banks = {0, 0, 0, 0, 1}, programs = {0, 1, 2, 3, 0};
    std::vector<bool> begun(5, false);
    MeasuringOrder order;
    EXPECT_EQ(order.next(banks, programs, begun), 0u);
    order.ask(0, 3);
    order.ask(1, 0);
    order.ask(0, 200);
    order.ask(-1, 2);
    EXPECT_EQ(order.next(banks, programs, begun), 4u);
    begun[4] = true;
    EXPECT_EQ(order.next(banks, programs, begun), 3u);
    begun[3] = true;
    order.ask(1, 0);  // begun already
    EXPECT_EQ(order.next(banks, programs, begun), 0u);
    begun = {true, true, true, true, true};
    EXPECT_EQ(order.next(banks, programs, begun), SIZE_MAX);
    order.forget();
    begun.assign(5, false);
    EXPECT_EQ(order.next(banks, programs, begun), 0u);

    // The measuring: with as many presets asked for as it has threads at
    // most, the first handed over is one of them, and every preset comes.
    const std::string font_path = temp_name("order.sf2");
    SineSoundFont font = flat_presets();
    for (int program = 4; program < 12; ++program)
        font.presets.push_back(SinePreset{0, program, {SineZone{0, 127, 0}}});
    ASSERT_TRUE(write_sine_soundfont(font_path, font));
    MeasuringOrder asked;
    const std::set<int> wanted = {11, 9, 7, 5};
    for (int program : wanted)
        asked.ask(0, program);
    struct Seen {
        std::mutex lock;
        std::vector<int> programs;
    } seen;
    std::vector<PresetTuning> tunings;
    ASSERT_TRUE(measure_soundfont_in_order(
        font_path.c_str(), &tunings, nullptr, &asked,
        [](const PresetTuning& t, void* data) {
            Seen* s = static_cast<Seen*>(data);
            std::lock_guard<std::mutex> hold(s->lock);
            s->programs.push_back(t.program);
        },
        &seen));
    std::remove(font_path.c_str());
    ASSERT_EQ(seen.programs.size(), 12u);
    EXPECT_EQ(wanted.count(seen.programs[0]), 1u) << seen.programs[0];
    ASSERT_EQ(tunings.size(), 12u);
    for (size_t i = 0; i < tunings.size(); ++i) {
        EXPECT_EQ(tunings[i].program, static_cast<int>(i));  // the file's order
        EXPECT_TRUE(tunings[i].corrected[60]) << i;
    }
}
