// The command line: matching arguments against an option table (values
// included, which later options take), and what the program's own options
// ask for.
#include "test_support.h"

#include "app/options.h"

namespace {

const OptionSpec kTable[] = {
    {"--list", nullptr, "a switch"},
    {"--json", "FILE", "an option with a value"},
};
constexpr int kRows = 2;

OptionMatch match(std::vector<const char*> args, int index = 1)
{
    args.insert(args.begin(), "varenta-test");
    return match_option(static_cast<int>(args.size()), args.data(), index, kTable, kRows);
}

ProgramOptions parse(std::vector<const char*> args)
{
    args.insert(args.begin(), "varenta-test");
    return parse_options(static_cast<int>(args.size()), args.data());
}

}  // namespace

TEST(OptionTable, SwitchesAndValuesInBothForms)
{
    OptionMatch m = match({"--list", "--json"});
    EXPECT_EQ(m.row, 0);
    EXPECT_EQ(m.value, nullptr);
    EXPECT_EQ(m.next, 2);

    m = match({"--json", "out.json", "--list"});
    EXPECT_EQ(m.row, 1);
    EXPECT_STREQ(m.value, "out.json");
    EXPECT_EQ(m.next, 3);

    m = match({"--json=a=b.json"});
    EXPECT_EQ(m.row, 1);
    EXPECT_STREQ(m.value, "a=b.json");  // split at the first '='
    EXPECT_EQ(m.next, 2);

    m = match({"--json", "--list"});  // a value may look like an option
    EXPECT_STREQ(m.value, "--list");
    EXPECT_EQ(m.next, 3);

    m = match({"--json="});
    EXPECT_EQ(m.error, OPTION_OK);
    EXPECT_STREQ(m.value, "");
}

TEST(OptionTable, ArgumentsNotTaken)
{
    struct Case {
        std::vector<const char*> args;
        OptionError error;
    } cases[] = {
        {{"--bogus"}, OPTION_UNKNOWN},
        {{"--lis"}, OPTION_UNKNOWN},  // no abbreviations
        {{"--listing"}, OPTION_UNKNOWN},
        {{"--LIST"}, OPTION_UNKNOWN},
        {{"-l"}, OPTION_UNKNOWN},
        {{"--"}, OPTION_UNKNOWN},
        {{"list"}, OPTION_NOT_AN_OPTION},
        {{"-"}, OPTION_NOT_AN_OPTION},
        {{""}, OPTION_NOT_AN_OPTION},
        {{"--json"}, OPTION_NEEDS_VALUE},
        {{"--list=yes"}, OPTION_TAKES_NO_VALUE},
    };
    for (const Case& c : cases) {
        OptionMatch m = match(c.args);
        EXPECT_EQ(m.error, c.error) << c.args[0];
        EXPECT_EQ(m.row, -1) << c.args[0];
        EXPECT_EQ(m.value, nullptr) << c.args[0];
    }
}

TEST(ProgramCommandLine, RunHelpVersionOrRefuse)
{
    EXPECT_EQ(parse({}).action, ACTION_RUN);
    EXPECT_EQ(parse({"--help"}).action, ACTION_HELP);
    EXPECT_EQ(parse({"--version"}).action, ACTION_VERSION);
    // The first option that acts decides; what follows it is not looked at.
    EXPECT_EQ(parse({"--version", "--help"}).action, ACTION_VERSION);
    EXPECT_EQ(parse({"--help", "--bogus"}).action, ACTION_HELP);

    struct Case {
        std::vector<const char*> args;
        OptionError error;
        const char* bad;
    } refused[] = {
        {{"--bogus", "--help"}, OPTION_UNKNOWN, "--bogus"},
        {{"-h"}, OPTION_UNKNOWN, "-h"},
        {{"scale.txt"}, OPTION_NOT_AN_OPTION, "scale.txt"},
        {{"--version=2"}, OPTION_TAKES_NO_VALUE, "--version=2"},
    };
    for (const Case& c : refused) {
        ProgramOptions options = parse(c.args);
        EXPECT_EQ(options.action, ACTION_USAGE_ERROR) << c.bad;
        EXPECT_EQ(options.error, c.error) << c.bad;
        EXPECT_STREQ(options.bad_argument, c.bad);
    }
}

using CommandLineMessages = VarentaTest;

TEST_F(CommandLineMessages, RefusedArgumentsGetOneLineOnTheErrorStream)
{
    const std::string usage = "; usage: varenta-test [--help] [--version]\n";
    struct Case {
        std::vector<const char*> args;
        std::string line;
    } cases[] = {
        {{"--bogus"}, "varenta-test: unknown option '--bogus'" + usage},
        {{"scale.txt"}, "varenta-test: unexpected argument 'scale.txt'" + usage},
        {{"--help=all"}, "varenta-test: option '--help' takes no value" + usage},
    };
    for (const Case& c : cases) {
        reset_all();
        EXPECT_EQ(run_option_action(parse(c.args)), 2);
        EXPECT_EQ(fake_console_error_output(), c.line);
        EXPECT_EQ(fake_console_output(), "");
    }
}
