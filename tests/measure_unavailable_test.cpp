// The measuring options in the Windows build, which has no audio capture:
// they answer that they need the Linux build, with status 2, and send
// nothing.
#include "test_support.h"

#include "hearing/hearing.h"
#include "measure/measure.h"

using MeasureUnavailable = VarentaTest;

TEST_F(MeasureUnavailable, BothOptionsSayTheyNeedTheLinuxBuild)
{
    fake_add_port("Synth A");
    MeasureRequest request = {"1", "tones", nullptr, nullptr, nullptr};
    EXPECT_EQ(run_measure(request), 2);
    EXPECT_EQ(list_audio_sources(), 2);
    EXPECT_EQ(fake_console_error_output(),
              "varenta-test: --measure needs the Linux build of varenta-test (it measures through JACK, ALSA or "
              "PulseAudio)\n"
              "varenta-test: --list-audio-in needs the Linux build of varenta-test (it measures through JACK, ALSA "
              "or PulseAudio)\n");
    EXPECT_EQ(fake_console_output(), "");
    EXPECT_EQ(fake_open_count(), 0);
    EXPECT_TRUE(fake_messages().empty());
}
