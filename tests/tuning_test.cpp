// The tuning model: the scale text parser and its token rules, degree ratios
// in periodic and harmonic mode, the reference pitch, and scale installation.
#include "test_support.h"

#include "midi/channel.h"
#include "midi/device.h"
#include "tuning/scale.h"
#include "tuning/scale_parser.h"

#include <climits>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace {

const double kInf = std::numeric_limits<double>::infinity();
const double kMiddleC = 261.6255653005986;  // 440 Hz nine semitones down

// The entries in use after parsing text into a table that held only -7.0.
struct Parsed {
    int count;
    std::vector<double> entries;
};

Parsed parse(const std::string& text)
{
    double entries[SCALE_CAPACITY];
    for (double& e : entries)
        e = -7.0;
    int count = -1;
    parse_scale_text(entries, &count, text.c_str());
    Parsed result{count, {}};
    for (int i = 0; i < count && i < SCALE_CAPACITY; ++i)
        result.entries.push_back(entries[i]);
    return result;
}

void expect_entries(const std::string& text, const std::vector<double>& expected)
{
    Parsed p = parse(text);
    ASSERT_EQ(p.count, static_cast<int>(expected.size())) << text;
    for (size_t i = 0; i < expected.size(); ++i) {
        if (std::isinf(expected[i]))
            EXPECT_EQ(p.entries[i], expected[i]) << text << " entry " << i;
        else
            EXPECT_DOUBLE_EQ(p.entries[i], expected[i]) << text << " entry " << i;
    }
}

}  // namespace

using Tokens = VarentaTest;
using ScaleText = VarentaTest;
using DegreeRatio = VarentaTest;
using ReferencePitch = VarentaTest;
using ScaleInstall = VarentaTest;

TEST_F(Tokens, NextTokenSkipsTheTokenThenTheSeparators)
{
    const char* text = "  ab\tc\v\rd\fe  ";
    int position = -1;
    ASSERT_TRUE(next_token(text, &position));
    EXPECT_EQ(position, 2);
    ASSERT_TRUE(next_token(text, &position));
    EXPECT_EQ(position, 5);
    // Form feed is not a separator here: "d\fe" is one token.
    ASSERT_TRUE(next_token(text, &position));
    EXPECT_EQ(position, 8);
    EXPECT_FALSE(next_token(text, &position));
    EXPECT_EQ(position, -1);

    position = 4;
    EXPECT_FALSE(next_token(nullptr, &position));
    EXPECT_EQ(position, -1);
    position = 0;
    EXPECT_FALSE(next_token("", &position));
    EXPECT_EQ(position, -1);
    position = -5;
    EXPECT_FALSE(next_token(" \n\r\t\v", &position));
    EXPECT_EQ(position, -1);
    // From the middle of a token only its rest is skipped.
    position = 1;
    ASSERT_TRUE(next_token("abc def", &position));
    EXPECT_EQ(position, 4);
    // Bytes above 127 are ordinary characters.
    position = -1;
    ASSERT_TRUE(next_token("\xA0x", &position));
    EXPECT_EQ(position, 0);
}

TEST_F(Tokens, CopyTokenStopsAtWhiteSpaceFormFeedIncluded)
{
    char out[16];
    EXPECT_EQ(copy_token(out, "3/2\f5/4", 0, 128), 3);
    EXPECT_STREQ(out, "3/2");
    for (const char* text : {"ab cd", "ab\tcd", "ab\ncd", "ab\vcd", "ab\fcd", "ab\rcd", "ab"}) {
        EXPECT_EQ(copy_token(out, text, 0, 16), 2);
        EXPECT_STREQ(out, "ab");
    }
    EXPECT_EQ(copy_token(out, "x 5/4", 2, 16), 3);
    EXPECT_STREQ(out, "5/4");
    EXPECT_EQ(copy_token(out, "a\xA0z", 0, 16), 3);  // not white space
    EXPECT_EQ(copy_token(out, "", 0, 16), 0);
    EXPECT_STREQ(out, "");
}

TEST_F(Tokens, CopyTokenCapacityAndAbsentArguments)
{
    char out[8] = "untouch";
    EXPECT_EQ(copy_token(out, nullptr, 0, 8), 0);
    EXPECT_EQ(copy_token(nullptr, "abc", 0, 8), 0);
    EXPECT_EQ(copy_token(out, "abc", -1, 8), 0);
    EXPECT_EQ(copy_token(out, "abc", 0, 0), 0);  // no room even for the terminator
    EXPECT_STREQ(out, "untouch");

    // capacity characters are read; the terminator overwrites the last.
    EXPECT_EQ(copy_token(out, "abcdefgh", 0, 4), 4);
    EXPECT_STREQ(out, "abc");
    EXPECT_EQ(copy_token(out, "abcdefgh", 0, 1), 1);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(copy_token(out, "abc", 0, 4), 3);
    EXPECT_STREQ(out, "abc");
}

TEST_F(ScaleText, ExamplesOfEveryForm)
{
    expect_entries("9/8 5/4 4/3 3/2 5/3 15/8 2/1", {1, 1.125, 1.25, 4.0 / 3, 1.5, 5.0 / 3, 1.875, 2});
    expect_entries("7/6 3/2 2/1", {1, 7.0 / 6, 1.5, 2});
    expect_entries("n(1/7)", {1, 1.1040895136738123});
    expect_entries("100.0 700.0 1200.0", {1, 1.0594630943592953, 1.4983070768766815, 2});
    expect_entries("h 2", {2});
    expect_entries("3.0/2", {1, 1.5});                     // "/" before the decimal point
    expect_entries("n(0.5)", {1, std::pow(2.0, 0.5 / 1200)});  // a decimal point is cents, even after n(
    expect_entries("700 cents", {1, 1.4983070768766815});
    expect_entries("0 abc 5/4", {1, 1.25});
    expect_entries("0.0", {1, 1});  // cents: no magnitude test
    expect_entries("h2", {});
    expect_entries("  9/8\t\t5/4\r\n", {1, 1.125, 1.25});
}

TEST_F(ScaleText, KeywordsAndHarmonicMarker)
{
    expect_entries(" \t\n\v\r ", {1});
    expect_entries("", {1});
    expect_entries("cents", {1});      // rewrites entry 0 with 2^(0/1200)
    expect_entries("h cents", {1});    // the count 0 left by "h" becomes 1
    expect_entries("h 3 cents", {std::pow(2.0, 3.0 / 1200)});
    expect_entries("700 CENTS", {1, 1.4983070768766815});
    expect_entries("700 Cents 3/2", {1, 1.4983070768766815, 1.5});
    expect_entries("H 2", {1, 2});     // upper-case H reads as 0 and is ignored
    expect_entries("harmonic 3", {3});
    expect_entries("9/8 h 3", {3});    // "h" anywhere restarts at entry 0
    expect_entries("3/2 cents", {1, std::pow(2.0, 1.5 / 1200)});  // the quotient was the last number read
    expect_entries("1e400 cents", {1, std::exp(308.0)});  // the only clamped conversion
    expect_entries("-1e400 cents", {1, std::exp(-308.0)});
}

TEST_F(ScaleText, PowersOfTwo)
{
    expect_entries("n(", {1});     // empty token, ignored
    expect_entries("n(0)", {1});   // the magnitude test sees the exponent
    expect_entries("n(2)", {1, 4});
    expect_entries("n(-1)", {1, 0.5});
    expect_entries("n(1/7) 2/1", {1, 1.1040895136738123, 2});
    expect_entries("n(1/7) 9/8", {1, 1.1040895136738123, 1.125});  // the flag lasts one token
    expect_entries("n(1e308)", {1, kInf});  // not clamped
}

TEST_F(ScaleText, NumbersAsTypedIncludingExtremes)
{
    expect_entries("5abc", {1, 5});
    expect_entries("-9/8", {1, -1.125});
    expect_entries("-100.0", {1, std::pow(2.0, -100.0 / 1200)});
    expect_entries("3/0", {1, kInf});
    expect_entries("-3/0", {1, -kInf});
    expect_entries("0/0", {1});
    expect_entries("= 7", {1, 7});
    expect_entries("1e308", {1, 1e308});
    expect_entries("1e400", {1, kInf});
    expect_entries("1e-400 2e-10 1e-11", {1, 2e-10});  // below 1e-10 is ignored
    expect_entries(".5", {1, std::pow(2.0, 0.5 / 1200)});
    expect_entries("1e+2 1e 3E-1", {1, 100, 1, 0.3});
    // Only plain decimal numbers are read; words read as 0 and are ignored.
    expect_entries("inf nan infinity 0x10 NAN", {1});
    expect_entries("+3/-2", {1, -1.5});
}

TEST_F(ScaleText, LimitsOfTokensEntriesAndKeptText)
{
    // A 200-character token keeps its first 127 characters; its remainder is
    // not a further token.
    std::string token = "3" + std::string(199, '0');
    expect_entries(token + " 5/4", {1, 3e126, 1.25});

    std::string many;
    for (int i = 0; i < 1100; ++i)
        many += std::to_string(i + 2) + " ";
    Parsed p = parse(many);
    ASSERT_EQ(p.count, SCALE_MAX_COUNT);
    EXPECT_EQ(p.entries[1], 2.0);
    EXPECT_EQ(p.entries[1022], 1023.0);

    std::string long_text(1500, 'x');
    parse(long_text);
    EXPECT_EQ(std::string(kept_scale_text()), std::string(1023, 'x'));
    parse("9/8 5/4");
    EXPECT_STREQ(kept_scale_text(), "9/8 5/4");
}

TEST_F(ScaleText, StaleEntriesAreKept)
{
    double entries[SCALE_CAPACITY] = {};
    int count = 0;
    parse_scale_text(entries, &count, "9/8 5/4 4/3");
    parse_scale_text(entries, &count, "3/2");
    EXPECT_EQ(count, 2);
    EXPECT_EQ(entries[1], 1.5);
    EXPECT_EQ(entries[2], 1.25);
    EXPECT_EQ(entries[3], 4.0 / 3);
}

TEST_F(DegreeRatio, PeriodicScalesRepeatByThePeriod)
{
    Parsed p = parse("9/8 5/4 4/3 3/2 5/3 15/8 2/1");
    const double* e = p.entries.data();
    struct Case {
        int degree;
        double ratio;
    };
    for (const Case& c : std::vector<Case>{
             {0, 1}, {7, 2}, {9, 2.5}, {-1, 0.9375}, {-7, 0.5}, {-8, 0.46875}, {14, 4}, {-14, 0.25}, {-6, 0.5625}}) {
        EXPECT_DOUBLE_EQ(degree_ratio(e, p.count, c.degree), c.ratio) << c.degree;
    }
    // Twelve-tone equal temperament: one step and the period in one entry.
    const double tet[2] = {1.0, std::pow(2.0, 1.0 / 12)};
    for (int d = -100; d <= 100; ++d)
        EXPECT_NEAR(degree_ratio(tet, 2, d) / std::pow(2.0, d / 12.0), 1.0, 1e-12) << d;
}

TEST_F(DegreeRatio, DegenerateScales)
{
    const double unit[1] = {1.0};
    const double stale[2] = {1.0, 5.0};
    for (int d : {0, 1, -1, 7, INT_MIN, INT_MAX}) {
        EXPECT_EQ(degree_ratio(unit, 1, d), 1.0);       // the 1/1 alone
        EXPECT_EQ(degree_ratio(stale, 0, d), 1.0);      // no scale (as after "h2")
        EXPECT_EQ(degree_ratio(stale, -3, d), 1.0);
        EXPECT_EQ(degree_ratio(nullptr, 4, d), 1.0);
    }
    // Entry 0 within 1e-5 of 1 is periodic; further away it is harmonic.
    const double near_one[2] = {1.000005, 2.0};
    EXPECT_DOUBLE_EQ(degree_ratio(near_one, 2, 1), 2.00001);
    const double off_one[2] = {1.00002, 2.0};
    EXPECT_DOUBLE_EQ(degree_ratio(off_one, 2, 1), 1.00002);
    EXPECT_DOUBLE_EQ(degree_ratio(off_one, 2, 2), 1.00004);
}

TEST_F(DegreeRatio, HarmonicSeries)
{
    Parsed p = parse("h 2");
    for (int d : {0, 1, 2, 5})
        EXPECT_DOUBLE_EQ(degree_ratio(p.entries.data(), p.count, d), d + 1.0) << d;
    EXPECT_DOUBLE_EQ(degree_ratio(p.entries.data(), p.count, -1), 0.5);
    EXPECT_DOUBLE_EQ(degree_ratio(p.entries.data(), p.count, -3), 0.25);
    // Entries after entry 0 are not read.
    Parsed q = parse("h 2 3/2");
    EXPECT_EQ(q.count, 2);
    EXPECT_DOUBLE_EQ(degree_ratio(q.entries.data(), q.count, 3), 4.0);
    Parsed step = parse("h 1.5/1");  // step 0.5
    EXPECT_DOUBLE_EQ(degree_ratio(step.entries.data(), step.count, 4), 3.0);
    EXPECT_DOUBLE_EQ(degree_ratio(step.entries.data(), step.count, -2), 0.5);
}

TEST_F(DegreeRatio, ExtremeDegreesAndPeriodsStayFinite)
{
    Parsed diatonic = parse("9/8 5/4 4/3 3/2 5/3 15/8 2/1");
    const double* e = diatonic.entries.data();
    // 500 octaves would be e^346.6: held at e^308.
    EXPECT_DOUBLE_EQ(degree_ratio(e, 8, 7 * 500), std::exp(308.0));
    EXPECT_DOUBLE_EQ(degree_ratio(e, 8, -7 * 500), 2.0 * std::exp(-308.0));
    // INT_MAX = 7 * 306783378 + 1; -INT_MIN leaves 2 over a multiple of 7.
    EXPECT_DOUBLE_EQ(degree_ratio(e, 8, INT_MAX), 1.125 * std::exp(308.0));
    EXPECT_DOUBLE_EQ(degree_ratio(e, 8, INT_MIN), 5.0 / 3 * std::exp(-308.0));

    // One step per period: k = INT_MIN - 1 does not fit an int.
    const double tet[2] = {1.0, std::pow(2.0, 1.0 / 12)};
    EXPECT_DOUBLE_EQ(degree_ratio(tet, 2, INT_MAX), std::exp(308.0));
    EXPECT_DOUBLE_EQ(degree_ratio(tet, 2, INT_MIN), tet[1] * std::exp(-308.0));

    Parsed harmonic = parse("h 2");
    EXPECT_DOUBLE_EQ(degree_ratio(harmonic.entries.data(), 1, INT_MAX), 2147483648.0);
    EXPECT_DOUBLE_EQ(degree_ratio(harmonic.entries.data(), 1, INT_MIN), 1.0 / 2147483649.0);
    EXPECT_DOUBLE_EQ(degree_ratio(harmonic.entries.data(), 1, -INT_MAX), 1.0 / 2147483648.0);

    // A period of 0 or below counts as 1e-50; an infinite one is held by the clamp.
    const double zero[2] = {1.0, 0.0};
    const double negative[2] = {1.0, -2.0};
    EXPECT_NEAR(degree_ratio(zero, 2, 2) / 1e-100, 1.0, 1e-12);
    EXPECT_NEAR(degree_ratio(negative, 2, 2) / 1e-100, 1.0, 1e-12);
    EXPECT_EQ(degree_ratio(zero, 2, -1), 0.0);  // entry 1 (0) times 1e100
    const double infinite[2] = {1.0, kInf};
    EXPECT_DOUBLE_EQ(degree_ratio(infinite, 2, 1), std::exp(308.0));
    EXPECT_EQ(degree_ratio(infinite, 2, -1), kInf);
    EXPECT_EQ(degree_ratio(infinite, 2, 0), 1.0);
}

TEST_F(ReferencePitch, SetOrDerivedFromMiddleC)
{
    EXPECT_EQ(reference_pitch(), 0.0);
    set_reference_pitch(55.0);
    EXPECT_EQ(reference_pitch(), 55.0);
    set_reference_pitch(0.0);
    EXPECT_DOUBLE_EQ(reference_pitch(), kMiddleC);
    set_reference_pitch(-20.0);
    EXPECT_EQ(reference_pitch(), -20.0);  // stored as given
    set_reference_pitch(kInf);
    EXPECT_EQ(reference_pitch(), kInf);
    set_reference_pitch(std::numeric_limits<double>::quiet_NaN());
    EXPECT_DOUBLE_EQ(reference_pitch(), kMiddleC);

    // set_scale derives it only while it is unset.
    tuning_reset();
    set_scale("");
    EXPECT_DOUBLE_EQ(reference_pitch(), kMiddleC);
    set_reference_pitch(55.0);
    set_scale("9/8");
    EXPECT_EQ(reference_pitch(), 55.0);
}

TEST_F(ScaleInstall, EmptyTextInstallsTwelveToneAndNothingElse)
{
    EXPECT_EQ(scale_is_set(), 0);
    EXPECT_EQ(scale_size(), 0);
    EXPECT_EQ(current_degree_ratio(5), 1.0);
    open_fake_port();
    set_scale("");
    EXPECT_EQ(scale_is_set(), 1);
    EXPECT_EQ(scale_size(), 2);
    EXPECT_EQ(scale_table().entries[0], 1.0);
    EXPECT_DOUBLE_EQ(scale_table().entries[1], 1.0594630943592953);
    EXPECT_STREQ(scale_text(), "");
    EXPECT_EQ(describe_log(), "");

    set_scale("9/8 5/4 4/3");
    EXPECT_EQ(scale_size(), 4);
    EXPECT_DOUBLE_EQ(current_degree_ratio(2), 1.25);
    for (int c = 0; c < 16; ++c)
        channel_state(c).bend = 100.0 + c;
    fake_clear_messages();
    set_scale(nullptr);
    EXPECT_EQ(scale_size(), 2);
    EXPECT_STREQ(scale_text(), "9/8 5/4 4/3");  // the typed text is kept
    EXPECT_DOUBLE_EQ(current_degree_ratio(2), std::pow(2.0, 2.0 / 12));
    for (int c = 0; c < 16; ++c)
        EXPECT_EQ(channel_state(c).bend, 100.0 + c) << c;  // no bend reset
    set_scale("");
    EXPECT_STREQ(scale_text(), "9/8 5/4 4/3");
    EXPECT_EQ(describe_log(), "");
}

TEST_F(ScaleInstall, TypedScaleMarksEveryChannelUnknown)
{
    open_fake_port();
    // Twelve equal steps typed as cents: every degree needs the centre bend, so
    // pre-tuning claims only channel 0 and shows what the others hold.
    set_scale("100.0");
    EXPECT_EQ(describe_log(), "E0 0 64\n");  // the marker forces the centring bend out again
    EXPECT_EQ(channel_state(0).bend, 8192.0);
    for (int c = 1; c < 16; ++c)
        EXPECT_EQ(channel_state(c).bend, UNKNOWN_BEND) << c;
    EXPECT_EQ(channel_state(16).bend, 0.0);  // not in use: left alone
    EXPECT_STREQ(scale_text(), "100.0");
    EXPECT_EQ(scale_size(), 2);
}

TEST_F(ScaleInstall, TypedScaleMarksAllThirtyTwoChannelsOnTheBridge)
{
    open_fake_bridge();
    set_scale("100.0");
    EXPECT_EQ(describe_log(), "bridge E0 0 0 64\n");
    for (int c = 1; c < 32; ++c)
        EXPECT_EQ(channel_state(c).bend, UNKNOWN_BEND) << c;
}

TEST_F(ScaleInstall, PretunesOutwardFromTheOneOne)
{
    open_fake_port();
    // A tenth of a cent per degree: degree d needs 8192 + trunc(4.096 d), all
    // different, and the fresh stamps leave only the fifteen marked channels.
    set_scale("0.1");
    std::vector<std::string> expected;
    const int degrees[] = {0, 1, -1, 2, -2, 3, -3, 4, -4, 5, -5, 6, -6, 7, -7};
    const int channels[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 10, 11, 12, 13, 14, 15};
    for (int i = 0; i < 15; ++i) {
        int bend = 8192 + static_cast<int>(std::trunc(4.096 * degrees[i]));
        char text[32];
        std::snprintf(text, sizeof text, "E%X %d %d", channels[i], bend & 0x7F, bend >> 7);
        expected.push_back(text);
    }
    EXPECT_EQ(describe_log(), lines(expected));
    EXPECT_EQ(channel_state(9).bend, UNKNOWN_BEND);
    for (const FakeMessage& m : fake_messages())
        EXPECT_NE(m.status, STATUS_NOTE_ON);
}
