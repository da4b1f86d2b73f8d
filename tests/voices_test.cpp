// The voice catalogue: lookup by number, name, word, word start and part,
// and the printed list with its two pauses.
#include "test_support.h"

#include "console/console.h"
#include "voices/voices.h"

#include <cstring>

namespace {

std::string found(const char* typed, int* program)
{
    char name[100];
    *program = find_voice(typed, name, sizeof name);
    return name;
}

}  // namespace

using VoiceLookup = VarentaTest;
using VoiceList = VarentaTest;

TEST_F(VoiceLookup, EachPassFindsTheFirstFittingName)
{
    struct Case {
        const char* typed;
        int program;
        const char* name;
    } cases[] = {
        {"harpsichord", 6, "Harpsichord"},            // exact
        {"HARPSICHORD", 6, "Harpsichord"},
        {"  church   organ", 19, "Church Organ"},     // exact after collapsing
        {"piano", 0, "Acoustic Grand Piano"},         // whole word
        {"organ", 16, "Hammond Organ"},
        {"sax", 64, "Soprano Sax"},
        {"bell", 112, "Tinkle Bell"},
        {"bells", 14, "Tubular Bells"},
        {"steel", 114, "Steel Drums"},                // "(steel)" is no word
        {"(nylon)", 24, "Acoustic Guitar (nylon)"},
        {"trump", 56, "Trumpet"},                     // word start
        {"e", 2, "Electric Grand Piano"},
        {"chord", 6, "Harpsichord"},                  // anywhere
        {"tonk", 3, "Honky-tonk Piano"},              // a hyphen starts no word
        {"5", 5, "Chorused Piano"},                   // numbers
        {"+12", 12, "Marimba"},
        {"12abc", 12, "Marimba"},
        {"200", 127, "Gunshot"},
        {"99999999999999999999", 127, "Gunshot"},
        {"-5", 0, "Acoustic Grand Piano"},            // no number, no name
        {"xyz", 0, "Acoustic Grand Piano"},
        {"", 0, "Acoustic Grand Piano"},
        {"organ ", 0, "Acoustic Grand Piano"},        // the trailing space stays
    };
    for (const Case& c : cases) {
        int program = -1;
        EXPECT_EQ(found(c.typed, &program), c.name) << c.typed;
        EXPECT_EQ(program, c.program) << c.typed;
    }
}

TEST_F(VoiceLookup, OnlyTheFirstHundredCharactersAreRead)
{
    int program = -1;
    EXPECT_EQ(found((std::string(95, ' ') + "bells").c_str(), &program), "Tubular Bells");
    EXPECT_EQ(found((std::string(96, ' ') + "bells").c_str(), &program), "Tinkle Bell");  // read as "bell"
    EXPECT_EQ(program, 112);
}

TEST_F(VoiceLookup, NamesAreCutToTheCallersBuffer)
{
    char name[6] = "?????";
    EXPECT_EQ(find_voice("harpsichord", name, sizeof name), 6);
    EXPECT_STREQ(name, "Harps");
    char one[1] = {'?'};
    EXPECT_EQ(find_voice("harpsichord", one, 1), 6);
    EXPECT_EQ(one[0], '\0');
}

TEST_F(VoiceLookup, PrefixComparisonReportsWhereTextsDiffer)
{
    EXPECT_EQ(compare_prefix_nocase("Trumpet", "trump"), 0);
    EXPECT_EQ(compare_prefix_nocase("Trumpet", "trx"), 3);
    EXPECT_EQ(compare_prefix_nocase("Tr", "tru"), 3);  // the end of the text differs
    EXPECT_EQ(compare_prefix_nocase("x", ""), 0);
    EXPECT_EQ(compare_prefix_nocase(nullptr, "a"), 0);
    EXPECT_EQ(compare_prefix_nocase("a", nullptr), 0);
    EXPECT_EQ(compare_prefix_nocase("\xE9", "\xC9"), 1);  // only a to z fold
}

TEST_F(VoiceLookup, CollapsingSpaces)
{
    char text[32] = " \t a  \v\f b\r\n";
    EXPECT_EQ(collapse_spaces(text), 5);
    EXPECT_STREQ(text, "a b ");
    char blank[8] = "   ";
    EXPECT_EQ(collapse_spaces(blank), 1);
    EXPECT_STREQ(blank, "");
    EXPECT_EQ(collapse_spaces(nullptr), 0);
}

TEST_F(VoiceList, EveryNameInOrderWithTwoPauses)
{
    fake_console_input("x\n");
    list_voices();
    const std::string& out = fake_console_output();
    EXPECT_EQ(out.substr(0, 54), "Acoustic Grand Piano (0), Bright Acoustic Piano (1), \n");
    EXPECT_NE(out.find("Soprano Sax (64), \n(continues...)Alto Sax (65), "), std::string::npos);
    // Both waits took their character: 'x', then the rest of that line.
    EXPECT_EQ(fake_console_pending(), 0u);

    std::string joined;
    size_t from = 0;
    for (int p = 0; p < 128; ++p) {
        std::string entry = std::string(voice_names[p]) + " (" + std::to_string(p) + "), ";
        size_t at = out.find(entry, from);
        ASSERT_NE(at, std::string::npos) << p;
        from = at + entry.size();
    }
    EXPECT_EQ(out.substr(out.size() - 16), "Gunshot (127), \n");

    // Lines break as soon as they reach 50 characters.
    std::string body = out;
    body.erase(body.find("\n(continues...)"), std::strlen("\n(continues...)"));
    std::vector<std::string> rows;
    size_t line_start = 0;
    for (size_t end = body.find('\n'); end != std::string::npos; end = body.find('\n', line_start)) {
        rows.push_back(body.substr(line_start, end - line_start));
        line_start = end + 1;
    }
    ASSERT_GT(rows.size(), 10u);
    for (size_t i = 0; i + 1 < rows.size(); ++i) {
        const std::string& row = rows[i];
        if (i + 2 < rows.size()) {
            EXPECT_GE(row.size(), 50u) << row;  // every full line reached 50
        }
        size_t last_entry = row.rfind(", ", row.size() - 3);
        EXPECT_LT(last_entry == std::string::npos ? 0 : last_entry + 2, 50u) << row;  // and no sooner
    }
}

TEST_F(VoiceList, EndOfInputAtThePause)
{
    EXPECT_THROW(list_voices(), InputEnded);
    EXPECT_NE(fake_console_output().find("(continues...)"), std::string::npos);
}
