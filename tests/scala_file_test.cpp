// The Scala file reader: the forms real files take, every refusal with its
// line, and the example scales the project ships.
#include "test_support.h"

#include "tuning/scala_file.h"
#include "tuning/scale.h"

#include <cmath>
#include <fstream>
#include <sstream>

namespace {

ScalaStatus parse(const std::string& bytes) { return parse_scala_text(bytes.data(), bytes.size()); }

// The entries set_scale makes of the file's scale text, after the 1/1.
std::vector<double> pitches_played()
{
    set_scale(scala_file().scale_text);
    const ScaleTable& table = scale_table();
    return std::vector<double>(table.entries + 1, table.entries + table.count);
}

std::string file_of(const std::string& pitch_lines, int count)
{
    return "desc\n" + std::to_string(count) + "\n" + pitch_lines;
}

}  // namespace

using ScalaReader = VarentaTest;

TEST_F(ScalaReader, FormsOfRealFiles)
{
    const struct {
        const char* bytes;
        const char* description;
        const char* text;
    } cases[] = {
        {"! a.scl\n!\nJust major triad\n 3\n!\n 5/4\n 3/2\n 2/1\n", "Just major triad", "5/4 3/2 2/1"},
        // Comments anywhere, tabs, CR LF, the rest of a line, no final line end.
        {"!x\r\n\tTabbed  \r\n!\r\n\t2 pitches\r\n! c\r\n\t701.955\tfifth\r\n!\r\n2 octave", "Tabbed", "701.955 2"},
        // An empty description, whole numbers, signs, cents without a leading digit.
        {"\n4\n+3/2\n-5.0\n.5\n1200.\nignored after the last pitch\n", "", "+3/2 -5.0 0.5 1200."},
        // A byte order mark, UTF-8, lone CR line ends, control bytes kept off the terminal.
        {"\xEF\xBB\xBF! bom\rGr\xC3\xBC\xC3\x9F""e \x1b[2J\r1\r3/1\r", "Gr\xC3\xBC\xC3\x9F""e ?[2J", "3/1"},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(parse(c.bytes), SCALA_OK) << c.bytes;
        EXPECT_STREQ(scala_file().description, c.description);
        EXPECT_STREQ(scala_file().scale_text, c.text);
        EXPECT_EQ(scala_file().pitches_used, scala_file().pitch_count);
        EXPECT_EQ(static_cast<int>(pitches_played().size()), scala_file().pitch_count) << c.bytes;
    }
    EXPECT_EQ(pitches_played(), (std::vector<double>{3.0}));
    parse(file_of(".5\n1200.\n", 2));
    EXPECT_EQ(pitches_played(), (std::vector<double>{std::pow(2.0, 0.5 / 1200), 2.0}));
}

TEST_F(ScalaReader, EveryRefusalNamesItsLine)
{
    struct Refusal {
        std::string bytes;
        ScalaStatus status;
        int line;
        std::string token;
    };
    std::vector<Refusal> cases = {
        {"", SCALA_NO_COUNT, 1, ""},
        {"! only\n! comments\ndescription\n! more\n", SCALA_NO_COUNT, 5, ""},
        {"d\n\n1/1\n", SCALA_BAD_COUNT, 2, ""},
        {"d\n3\n5/4\n! c\n3/2\n", SCALA_TOO_FEW_PITCHES, 6, ""},
        {file_of("5/4\n\n", 2), SCALA_BAD_PITCH, 4, ""},
    };
    for (const char* count : {"0", "-3", "12.0", "+3"})
        cases.push_back({"d\n" + std::string(count) + "\n", SCALA_BAD_COUNT, 2, count});
    const std::string long_pitch(SCALA_LONGEST_PITCH + 1, '1');
    cases.push_back({file_of(long_pitch + "\n", 1), SCALA_LONG_PITCH, 3, long_pitch.substr(1)});
    const struct {
        const char* pitch;
        ScalaStatus status;
    } pitches[] = {{"abc", SCALA_BAD_PITCH}, {"3.0/2", SCALA_BAD_PITCH}, {"1e3", SCALA_BAD_PITCH},
                   {"3/2/1", SCALA_BAD_PITCH}, {"n(1/7)", SCALA_BAD_PITCH}, {"3/", SCALA_BAD_PITCH},
                   {"-.", SCALA_BAD_PITCH}, {"0", SCALA_ZERO_RATIO}, {"-0/7", SCALA_ZERO_RATIO},
                   {"-3/2", SCALA_NEGATIVE_RATIO}, {"3/-2", SCALA_NEGATIVE_RATIO}, {"3/0", SCALA_ZERO_DENOMINATOR},
                   {"0/0", SCALA_ZERO_DENOMINATOR}, {"1/20000000000", SCALA_TINY_RATIO},
                   {"-2000000000000.", SCALA_CENTS_OUT_OF_RANGE}, {"1300000.0", SCALA_CENTS_OUT_OF_RANGE}};
    for (const auto& p : pitches)
        cases.push_back({file_of(std::string(p.pitch) + " rest\n", 1), p.status, 3, p.pitch});
    for (const Refusal& c : cases) {
        parse("d\n1\n2/1\n");  // a good file first: a refusal must not keep any of it
        EXPECT_EQ(parse(c.bytes), c.status) << c.bytes;
        EXPECT_EQ(scala_file().line, c.line) << c.bytes;
        EXPECT_EQ(scala_file().token, c.token) << c.bytes;
        EXPECT_STREQ(scala_file().scale_text, "");
        EXPECT_EQ(scala_file().pitches_used, 0);
    }
    // 1/10000000000 is exactly the smallest ratio the scale text keeps.
    EXPECT_EQ(parse(file_of("1/10000000000\n", 1)), SCALA_OK);
}

TEST_F(ScalaReader, ShippedExampleScalesRiseToTheirPeriod)
{
    const double tritave = 1200 * std::log2(3.0);
    const struct {
        const char* name;
        int pitches;
        double period;
        double equal_step_cents;  // 0: not an equal division
    } files[] = {{"12-equal", 12, 2, 1200.0 / 12}, {"19-equal", 19, 2, 1200.0 / 19}, {"22-equal", 22, 2, 1200.0 / 22},
                 {"31-equal", 31, 2, 1200.0 / 31}, {"meantone-quarter-comma", 12, 2, 0}, {"just-5-limit", 12, 2, 0},
                 {"just-7-limit", 12, 2, 0}, {"bohlen-pierce", 13, 3, 0},
                 {"bohlen-pierce-equal", 13, 3, tritave / 13}};
    for (const auto& f : files) {
        std::ifstream in(std::string(VARENTA_SCALES_DIR "/") + f.name + ".scl", std::ios::binary);
        std::stringstream bytes;
        bytes << in.rdbuf();
        ASSERT_EQ(parse(bytes.str()), SCALA_OK) << f.name;
        EXPECT_NE(scala_file().description[0], '\0') << f.name;
        std::vector<double> played = pitches_played();
        ASSERT_EQ(static_cast<int>(played.size()), f.pitches) << f.name;
        EXPECT_NEAR(played.back(), f.period, 1e-9) << f.name;
        for (size_t i = 0; i < played.size(); ++i) {
            double below = i == 0 ? 1.0 : played[i - 1];
            EXPECT_GT(played[i], below) << f.name << " pitch " << i + 1;
            if (f.equal_step_cents > 0) {
                EXPECT_NEAR(1200 * std::log2(played[i] / below), f.equal_step_cents, 1e-5) << f.name << " " << i + 1;
            }
        }
        // Quarter-comma meantone tempers its fifths so that E is the pure 5/4.
        if (f.name == std::string("meantone-quarter-comma")) {
            EXPECT_NEAR(1200 * std::log2(played[3] / 1.25), 0.0, 1e-5);
        }
    }
}
