// The program's own chord and scale tests, measured in sound: the dialogue
// runs on the fake platform with the bridge chosen, its bridge messages (at
// their virtual send times) are played into the real bridge library offline
// with a generated sine SoundFont, and every note's pitch is measured from the
// rendered audio.
#include "test_support.h"

#include "midi/bridge.h"
#include "pitch_render.h"
#include "sine_soundfont.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>

namespace {

const double kMiddleC = 261.6255653005986;

// The bridge rounds every pitch to a whole cent; the bend resolution adds
// 0.0245 cents.
const double kIdealCents = 0.53;
// Against the bridge's rule for the note and bend that were sent.
const double kRuleCents = 0.01;
// The same in the drift, where several harmonics and the release tails of
// earlier ones sound together and pull the reading a little: the estimator
// weighs the band around a note's line, a tail's leakage included.
const double kRuleCentsInChords = 0.06;

class RenderedDialogue : public VarentaTest {
protected:
    void SetUp() override
    {
        VarentaTest::SetUp();
        soundfont_ = ::testing::TempDir() + "varenta-dialogue-sine-" + std::to_string(getpid()) + ".sf2";
        ASSERT_TRUE(write_sine_soundfont(soundfont_));
        fake_add_library(BRIDGE_RUNTIME_LIBRARY);
        fake_add_bridge(BRIDGE_LIBRARY);  // records what the program hands the bridge
    }
    void TearDown() override { std::remove(soundfont_.c_str()); }

    // Runs the dialogue on the bridge and measures every note it played.
    std::vector<MeasuredNote> play_and_measure(const std::string& input)
    {
        EXPECT_EQ(run_dialogue("\n" + input), 0);
        RenderSettings settings;
        settings.library_path = SONVEX_OFFLINE_LIBRARY_PATH;
        settings.soundfont_path = soundfont_;
        return render_and_measure(bridge_events(fake_messages()), settings);
    }

    // Each note against its ideal frequency and against the bridge's rule.
    void expect_in_tune(const std::vector<MeasuredNote>& notes, const std::vector<double>& ratios, double base_hz,
                        double rule_cents = kRuleCents)
    {
        ASSERT_EQ(notes.size(), ratios.size());
        for (size_t i = 0; i < notes.size(); ++i) {
            const MeasuredNote& n = notes[i];
            ASSERT_FALSE(std::isnan(n.frequency_hz)) << "note " << i << " could not be measured";
            double ideal = cents_above(n.frequency_hz, base_hz * ratios[i]);
            double rule = cents_above(n.frequency_hz, bridge_pitch_hz(n.key, n.bend));
            EXPECT_LE(std::fabs(ideal), kIdealCents) << "note " << i << " channel " << n.channel;
            EXPECT_LE(std::fabs(rule), rule_cents) << "note " << i << " channel " << n.channel << " window "
                                                   << n.window_ms << " ms at " << n.frequency_hz << " Hz";
            worst_ideal_ = std::fmax(worst_ideal_, std::fabs(ideal));
            worst_rule_ = std::fmax(worst_rule_, std::fabs(rule));
        }
    }

    void report_worst() const
    {
        std::printf("worst pitch error: %.4f cents from ideal, %.6f cents from the bridge's rule\n", worst_ideal_,
                    worst_rule_);
    }

private:
    std::string soundfont_;
    double worst_ideal_ = 0;
    double worst_rule_ = 0;
};

}  // namespace

TEST_F(RenderedDialogue, ChordTestPresetAndChordsFarFromEqualTemperament)
{
    std::vector<MeasuredNote> notes = play_and_measure("\n11/8 13/8 2/1\n551.3178 968.8259 1200.0\nexit\n");
    std::vector<double> ratios = {1, 7.0 / 6, 1.5, 2, 1, 11.0 / 8, 13.0 / 8, 2,
                                  1, std::pow(2, 551.3178 / 1200), std::pow(2, 968.8259 / 1200), 2};
    expect_in_tune(notes, ratios, kMiddleC);
    report_worst();
}

TEST_F(RenderedDialogue, ScaleTestInSevenEqualSteps)
{
    std::vector<MeasuredNote> notes = play_and_measure("next\n= 7\n8\nexit\n");
    std::vector<double> ratios;
    for (int d = 0; d < 8; ++d)
        ratios.push_back(std::pow(2, 0.142857 * d));  // the step the "= 7" form gives
    expect_in_tune(notes, ratios, kMiddleC);
    report_worst();
}

TEST_F(RenderedDialogue, HarmonicDriftOverFiftyFiveHertz)
{
    std::vector<MeasuredNote> notes = play_and_measure("next\nnext\n4 n 12\nexit\n");
    std::vector<double> ratios;
    for (int d = 0; d < 12; ++d)
        ratios.push_back(d + 1);
    for (int d = 11; d >= 0; --d)
        ratios.push_back(d + 1);
    // The drift's late, quiet notes are measured like the rest.
    std::vector<MeasuredNote> audible;
    std::vector<double> audible_ratios;
    for (size_t i = 0; i < notes.size(); ++i) {
        if (notes[i].velocity > 0) {
            audible.push_back(notes[i]);
            audible_ratios.push_back(ratios[i]);
        }
    }
    expect_in_tune(audible, audible_ratios, 55.0, kRuleCentsInChords);
    report_worst();
}
