// The Scala keyboard mapping reader: the fields of known mappings, "x" keys,
// the formal octave's degree, the anchor of the 1/1, and every refusal with
// its file, line and reason.
#include "test_support.h"

#include "tuning/keyboard_map.h"
#include "tuning/scale.h"
#include "tuning/scale_parser.h"

#include <cmath>

namespace {

KeyboardMap map_of(const std::string& bytes)
{
    KeyboardMap map;
    parse_keyboard_map(bytes.data(), bytes.size(), &map);
    return map;
}

// Scale entries as the scale table holds them, from scale text.
struct Entries {
    double values[SCALE_CAPACITY];
    int count;
};

Entries entries_of(const char* text)
{
    Entries e;
    parse_scale_text(e.values, &e.count, text);
    return e;
}

// What a key plays, in cents from the 1/1; NAN for a key that plays nothing.
double cents_of(const KeyboardMap& map, int key, const Entries& e)
{
    const double ratio = keyboard_map_ratio(map, key, e.values, e.count);
    return ratio > 0.0 ? 1200.0 * std::log2(ratio) : NAN;
}

// A 7-note diatonic map on the white keys of a 12-key octave, with the
// black keys silent: the example Scala's own documentation gives, with
// comments, CR LF line ends and text after each field.
const char* const kWhiteKeys =
    "! white.kbm\r\n!\r\n12 ! size\r\n0\r\n127\r\n60\r\n69 ! A\r\n440.0 ! Hz\r\n7\r\n"
    "! entries\r\n0\r\nx\r\n1\r\nx\r\n2\r\n3\r\nx\r\n4\r\nx\r\n5\r\nx\r\n6\r\n";

}  // namespace

using KeyboardMapReader = VarentaTest;

TEST_F(KeyboardMapReader, ReadsEveryFieldOfKnownMappings)
{
    KeyboardMap map = map_of(kWhiteKeys);
    ASSERT_EQ(map.status, KBM_OK) << map.token;
    EXPECT_EQ(map.map_size, 12);
    EXPECT_EQ(map.first_key, 0);
    EXPECT_EQ(map.last_key, 127);
    EXPECT_EQ(map.middle_key, 60);
    EXPECT_EQ(map.reference_key, 69);
    EXPECT_EQ(map.reference_hz, 440.0);
    EXPECT_EQ(map.octave_degree, 7);
    const int expected[12] = {0, KBM_UNMAPPED, 1, KBM_UNMAPPED, 2, 3, KBM_UNMAPPED, 4, KBM_UNMAPPED, 5, KBM_UNMAPPED, 6};
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(map.entries[i], expected[i]) << i;

    // The linear mapping of the standard tuning, with a byte order mark,
    // lone CR line ends, tabs, an exponent and no final line end.
    map = map_of("\xEF\xBB\xBF!lin\r0\r\t21\r108\r60\r69\r4.4e2 Hz\r0");
    ASSERT_EQ(map.status, KBM_OK) << map.token;
    EXPECT_EQ(map.map_size, 0);
    EXPECT_EQ(map.first_key, 21);
    EXPECT_EQ(map.last_key, 108);
    EXPECT_EQ(map.reference_hz, 440.0);
    EXPECT_EQ(map.octave_degree, 0);
}

TEST_F(KeyboardMapReader, KeysPlayTheirDegreeRaisedByFormalOctaves)
{
    const KeyboardMap white = map_of(kWhiteKeys);
    const struct {
        int key;
        bool plays;
        int degree;
        int octaves;
    } keys[] = {{60, true, 0, 0}, {61, false, 0, 0}, {62, true, 1, 0}, {71, true, 6, 0}, {72, true, 0, 1},
                {59, true, 6, -1}, {58, false, 0, 0}, {48, true, 0, -1}, {47, true, 6, -2}, {0, true, 0, -5},
                {127, true, 4, 5}};
    for (const auto& k : keys) {
        int degree = -99;
        int octaves = -99;
        EXPECT_EQ(keyboard_map_key(white, k.key, &degree, &octaves), k.plays) << k.key;
        if (k.plays) {
            EXPECT_EQ(degree, k.degree) << k.key;
            EXPECT_EQ(octaves, k.octaves) << k.key;
        }
    }
    // Keys outside first..last play nothing; inside, a linear map plays key - middle.
    const KeyboardMap linear = map_of("0\n48\n72\n62\n62\n300\n0\n");
    ASSERT_EQ(linear.status, KBM_OK);
    int degree = 0;
    int octaves = 0;
    EXPECT_FALSE(keyboard_map_key(linear, 47, &degree, &octaves));
    EXPECT_FALSE(keyboard_map_key(linear, 73, &degree, &octaves));
    EXPECT_TRUE(keyboard_map_key(linear, 48, &degree, &octaves));
    EXPECT_EQ(degree, -14);
    EXPECT_EQ(octaves, 0);
    EXPECT_TRUE(keyboard_map_key(linear, 72, &degree, &octaves));
    EXPECT_EQ(degree, 10);
}

TEST_F(KeyboardMapReader, TheOctaveDegreeSetsWhatTheMapRepeatsAt)
{
    const Entries major = entries_of("9/8 5/4 4/3 3/2 5/3 15/8 2/1");
    // Octave degree 7 of a 7-note scale, and 0 (the scale's period) alike.
    for (const char* octave : {"7", "0"}) {
        std::string text = kWhiteKeys;
        text.replace(text.find("\r\n7\r\n"), 5, std::string("\r\n") + octave + "\r\n");
        const KeyboardMap map = map_of(text);
        ASSERT_EQ(map.status, KBM_OK);
        EXPECT_NEAR(cents_of(map, 72, major), 1200.0, 1e-9) << octave;
        EXPECT_NEAR(cents_of(map, 76, major), 1200.0 + 1200.0 * std::log2(1.25), 1e-9) << octave;
        EXPECT_NEAR(cents_of(map, 59, major), 1200.0 * std::log2(15.0 / 8) - 1200.0, 1e-9) << octave;
        EXPECT_TRUE(std::isnan(cents_of(map, 61, major)));
    }
    // A 5-key map that repeats at degree 4 of the scale, the 3/2: each
    // repetition is a fifth higher, not an octave.
    const KeyboardMap fifths = map_of("5\n0\n127\n60\n60\n261.0\n4\n0\n1\n2\n3\nx\n");
    ASSERT_EQ(fifths.status, KBM_OK);
    EXPECT_NEAR(cents_of(fifths, 65, major), 1200.0 * std::log2(1.5), 1e-9);
    EXPECT_NEAR(cents_of(fifths, 67, major), 1200.0 * std::log2(1.5 * 5 / 4), 1e-9);
    EXPECT_NEAR(cents_of(fifths, 55, major), -1200.0 * std::log2(1.5), 1e-9);
    EXPECT_TRUE(std::isnan(cents_of(fifths, 64, major)));
}

TEST_F(KeyboardMapReader, TheReferenceKeyAnchorsTheOneOne)
{
    const Entries equal12 = entries_of("n(1/12)");
    // A = 440 Hz on key 69, nine equal steps above the 1/1 on 60: middle C.
    EXPECT_NEAR(keyboard_map_one_one_hz(map_of(kWhiteKeys), equal12.values, equal12.count),
                440.0 / std::pow(2.0, 5.0 / 12), 1e-9);  // white-key entry 5 is step 5 of 12-equal
    const KeyboardMap linear = map_of("0\n0\n127\n60\n69\n440\n0\n");
    EXPECT_NEAR(keyboard_map_one_one_hz(linear, equal12.values, equal12.count), 261.6255653005986, 1e-9);
    // The reference key may lie outside first..last: it only anchors the pitch.
    const KeyboardMap narrow = map_of("0\n70\n80\n60\n50\n100\n0\n");
    EXPECT_NEAR(keyboard_map_one_one_hz(narrow, equal12.values, equal12.count), 100.0 * std::pow(2.0, 10.0 / 12), 1e-9);
}

TEST_F(KeyboardMapReader, EveryRefusalNamesItsLineAndReason)
{
    const std::string head = "!c\n12\n0\n127\n60\n69\n440.0\n12\n";
    const struct {
        std::string bytes;
        KbmStatus status;
        int line;
        const char* message;
    } cases[] = {
        {"", KBM_MISSING_FIELD, 0, "m.kbm: the file ends before the map size"},
        {"!c\n12\n0\n127\n", KBM_MISSING_FIELD, 4, "m.kbm, line 4: the file ends before the middle key"},
        {"twelve\n", KBM_BAD_NUMBER, 1, "m.kbm, line 1: 'twelve' is not a whole number"},
        {"12\n\n", KBM_BAD_NUMBER, 2, "m.kbm, line 2: '' is not a whole number"},
        {"12\n0.5\n", KBM_BAD_NUMBER, 2, "m.kbm, line 2: '0.5' is not a whole number"},
        {"-1\n", KBM_BAD_SIZE, 1, "m.kbm, line 1: map size '-1' is not 0..1024"},
        {"1025\n", KBM_BAD_SIZE, 1, "m.kbm, line 1: map size '1025' is not 0..1024"},
        {"0\n0\n128\n", KBM_KEY_OUT_OF_RANGE, 3, "m.kbm, line 3: key '128' is not a MIDI key 0..127"},
        {"0\n0\n127\n-1\n", KBM_KEY_OUT_OF_RANGE, 4, "m.kbm, line 4: key '-1' is not a MIDI key 0..127"},
        {"0\n0\n127\n60\n1000000000\n", KBM_BAD_NUMBER, 5,
         "m.kbm, line 5: '1000000000' is not a whole number"},
        {"0\n70\n60\n", KBM_FIRST_AFTER_LAST, 3,
         "m.kbm, line 3: the last key to retune, 60, lies below the first"},
        {"0\n0\n127\n60\n69\n440,0\n", KBM_BAD_FREQUENCY, 6,
         "m.kbm, line 6: '440,0' is not a frequency in Hz above 0 (such as 440.0)"},
        {"0\n0\n127\n60\n69\n0.0\n", KBM_BAD_FREQUENCY, 6,
         "m.kbm, line 6: '0.0' is not a frequency in Hz above 0 (such as 440.0)"},
        {"0\n0\n127\n60\n69\n1e999\n", KBM_BAD_FREQUENCY, 6,
         "m.kbm, line 6: '1e999' is not a frequency in Hz above 0 (such as 440.0)"},
        {"0\n0\n127\n60\n69\nnan\n", KBM_BAD_FREQUENCY, 6,
         "m.kbm, line 6: 'nan' is not a frequency in Hz above 0 (such as 440.0)"},
        {"0\n0\n127\n60\n69\n440\n-7\n", KBM_BAD_OCTAVE_DEGREE, 7,
         "m.kbm, line 7: the formal octave's degree '-7' is not 0..1048576"},
        {head + "0\n1\n", KBM_MISSING_ENTRY, 10, "m.kbm, line 10: the file ends before entry 3 of 12"},
        {head + "0\ny\n", KBM_BAD_ENTRY, 10, "m.kbm, line 10: entry 'y' is neither a scale degree 0..1048576 nor x"},
        {head + "0\n-2\n", KBM_BAD_ENTRY, 10, "m.kbm, line 10: entry '-2' is neither a scale degree 0..1048576 nor x"},
        {head + "0\n1\n2\n3\n4\n5\n6\n7\n8\nx\n10\n11\n", KBM_REFERENCE_UNMAPPED, 0,
         "m.kbm: the reference key 69 plays nothing (x)"},
    };
    for (const auto& c : cases) {
        KeyboardMap map = map_of(c.bytes);
        EXPECT_EQ(map.status, c.status) << c.bytes;
        EXPECT_EQ(map.line, c.line) << c.bytes;
        char message[300];
        keyboard_map_refusal(map, "m.kbm", message, sizeof message);
        EXPECT_STREQ(message, c.message) << c.bytes;
        int degree;
        int octaves;
        EXPECT_FALSE(keyboard_map_key(map, 60, &degree, &octaves)) << "a refused map plays nothing";
    }
}

TEST_F(KeyboardMapReader, FilesAreReadThroughThePlatform)
{
    fake_add_file("good.kbm", kWhiteKeys);
    fake_add_file("locked.kbm", "", FakeFile::Unreadable);
    fake_add_file("dir.kbm", "", FakeFile::Folder);
    KeyboardMap map;
    EXPECT_EQ(read_keyboard_map("good.kbm", &map), KBM_OK);
    EXPECT_EQ(map.map_size, 12);
    const struct {
        const char* path;
        KbmStatus status;
        const char* message;
    } faults[] = {{"none.kbm", KBM_FILE_MISSING, "none.kbm: no such file"},
                  {"locked.kbm", KBM_FILE_UNREADABLE, "locked.kbm: it cannot be read"},
                  {"dir.kbm", KBM_FILE_FOLDER, "dir.kbm: it is a folder"}};
    for (const auto& f : faults) {
        EXPECT_EQ(read_keyboard_map(f.path, &map), f.status) << f.path;
        char message[300];
        keyboard_map_refusal(map, f.path, message, sizeof message);
        EXPECT_STREQ(message, f.message);
    }
}
