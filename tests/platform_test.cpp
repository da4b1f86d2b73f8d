// The portable parts of the platform backends: the choice of the default
// synthesizer among the listed ports, WinMM's results, port names and input
// messages as the seam reports them, what the MIDI input queue keeps, how
// bytes become lines, and how terminal escape sequences become console keys;
// and the test platform's folders, which the tests of settings rely on.
#include "platform/fake/fake_platform.h"
#include "platform/key_sequences.h"
#include "platform/line_assembly.h"
#include "platform/midi_input_queue.h"
#include "platform/platform.h"
#include "platform/port_choice.h"
#include "platform/winmm_results.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

TEST(DefaultSynth, FirstAlsaPortThatDeclaresItselfASynth)
{
    EXPECT_EQ(default_synth_port(nullptr, 0), -1);

    const PortListing plain[] = {{true, 1u << 1}, {false, 0}, {true, 1u << 20}};
    EXPECT_EQ(default_synth_port(plain, 3), -1);

    const PortListing mixed[] = {{true, 1u << 1}, {false, 0}, {true, PORT_TYPE_MIDI_GM | (1u << 20)},
                                 {true, PORT_TYPE_SYNTH}};
    EXPECT_EQ(default_synth_port(mixed, 4), 2);
}

TEST(DefaultSynth, EverySynthBitCounts)
{
    for (unsigned bit : {PORT_TYPE_MIDI_GM, PORT_TYPE_MIDI_GS, PORT_TYPE_MIDI_XG, PORT_TYPE_MIDI_GM2,
                         PORT_TYPE_SYNTH, PORT_TYPE_DIRECT_SAMPLE, PORT_TYPE_SAMPLE, PORT_TYPE_SYNTHESIZER}) {
        const PortListing ports[] = {{true, 1u << 1}, {true, bit}};
        EXPECT_EQ(default_synth_port(ports, 2), 1) << bit;
    }
}

TEST(DefaultSynth, JackPortsNeverStandForIt)
{
    const PortListing ports[] = {{false, PORT_TYPE_SYNTH}, {true, 0}};
    EXPECT_EQ(default_synth_port(ports, 2), -1);
}

TEST(WinmmResults, ResultCodesAsTheSeamReportsThem)
{
    EXPECT_EQ(winmm_seam_result(0), PLATFORM_OK);
    EXPECT_EQ(winmm_seam_result(2), PLATFORM_BAD_DEVICE);  // MMSYSERR_BADDEVICEID
    EXPECT_EQ(winmm_seam_result(6), PLATFORM_NO_DRIVER);   // MMSYSERR_NODRIVER
    for (unsigned other : {1u, 4u, 7u, 11u, 67u})          // error, allocated, no memory, bad parameter, not ready
        EXPECT_EQ(winmm_seam_result(other), PLATFORM_UNAVAILABLE) << other;
}

TEST(WinmmResults, ProductNamesAreCutToTheBufferAndNeverReadPastTheField)
{
    char field[32] = "Microsoft GS Wavetable Synth";
    char name[64];
    EXPECT_EQ(winmm_port_name(0, field, sizeof field, name, sizeof name), PLATFORM_OK);
    EXPECT_STREQ(name, "Microsoft GS Wavetable Synth");
    EXPECT_EQ(winmm_port_name(0, field, sizeof field, name, 10), PLATFORM_OK);
    EXPECT_STREQ(name, "Microsoft");
    EXPECT_EQ(winmm_port_name(0, field, sizeof field, name, 1), PLATFORM_OK);
    EXPECT_STREQ(name, "");

    // A driver that fills the whole field leaves no terminator in it.
    char full[40];
    std::memset(full, 'x', sizeof full);
    EXPECT_EQ(winmm_port_name(0, full, 32, name, sizeof name), PLATFORM_OK);
    EXPECT_EQ(std::string(name), std::string(32, 'x'));

    // A failure names nothing, whatever the record holds.
    EXPECT_EQ(winmm_port_name(6, field, sizeof field, name, sizeof name), PLATFORM_NO_DRIVER);
    EXPECT_STREQ(name, "");
    EXPECT_EQ(winmm_port_name(2, nullptr, 0, name, sizeof name), PLATFORM_BAD_DEVICE);
    EXPECT_STREQ(name, "");
}

TEST(MidiInput, ChannelMessagesAreQueuedOnlyWhileListening)
{
    static MidiInQueue queue;
    auto push = [](std::vector<unsigned char> bytes) { return midi_in_queue_push(queue, bytes.data(), bytes.size()); };
    midi_in_listening_reset();
    EXPECT_FALSE(push({0x90, 60, 100}));  // not listening: dropped
    midi_in_set_listening(true, queue);
    EXPECT_TRUE(push({0x9F, 60, 100}));
    EXPECT_TRUE(push({0xC3, 5}));          // one data byte
    EXPECT_TRUE(push({0xD0, 9, 99}));      // the byte after a one-byte message is not its data
    EXPECT_TRUE(push({0xE0, 0, 64}));      // the queue keeps it; what to do with it is not its business
    for (std::vector<unsigned char> refused : std::vector<std::vector<unsigned char>>{
             {0xF0, 0x7E, 0xF7}, {0xF8}, {0xFE}, {0xFF}, {0xF2, 1, 2}, {60, 100}, {0x90, 60}, {0x90, 128, 1},
             {0x80, 60, 200}, {0xC0}, {}}) {
        EXPECT_FALSE(push(refused)) << refused.size();
    }
    uint32_t word = 0;
    std::vector<uint32_t> taken;
    while (midi_in_queue_take(queue, &word))
        taken.push_back(word);
    EXPECT_EQ(taken, (std::vector<uint32_t>{0x00643C9Fu, 0x000005C3u, 0x000009D0u, 0x004000E0u}));

    // Full: the newest is dropped, the oldest kept.
    for (uint32_t i = 0; i < MIDI_IN_QUEUE_SIZE; ++i)
        EXPECT_TRUE(push({0x90, static_cast<unsigned char>(i % 128), 1}));
    EXPECT_FALSE(push({0x80, 1, 1}));
    ASSERT_TRUE(midi_in_queue_take(queue, &word));
    EXPECT_EQ(word, 0x00010090u);
    // Switching off drops what is queued; switching on again finds it empty.
    midi_in_set_listening(false, queue);
    EXPECT_FALSE(midi_in_queue_pending(queue));
    EXPECT_FALSE(push({0x90, 60, 100}));
    midi_in_listening_reset();
}

TEST(WinmmResults, InputIsTheShortMessagesBytesStatusFirst)
{
    unsigned char bytes[3] = {};
    EXPECT_EQ(winmm_input_bytes(WINMM_INPUT_DATA, 0x00643C91u, bytes), 3u);
    EXPECT_EQ((std::vector<unsigned char>(bytes, bytes + 3)), (std::vector<unsigned char>{0x91, 0x3C, 0x64}));
    EXPECT_EQ(winmm_input_bytes(WINMM_INPUT_DATA, 0x000000F8u, bytes), 3u);  // the queue refuses a clock
    EXPECT_EQ(bytes[0], 0xF8);
    for (unsigned other : {0x3C1u /* open */, 0x3C2u /* close */, 0x3C4u /* long data */, 0x3C5u /* error */})
        EXPECT_EQ(winmm_input_bytes(other, 0x00643C91u, bytes), 0u) << other;
}

namespace {

// Lines taken one after another from a fixed byte stream.
struct ByteStream {
    std::string bytes;
    size_t pos = 0;
    int operator()() { return pos < bytes.size() ? static_cast<unsigned char>(bytes[pos++]) : -1; }
};

}  // namespace

TEST(LineAssembly, LineEndsAreDropped)
{
    ByteStream in{"one\ntwo\r\n\nlast"};
    char line[16];
    EXPECT_EQ(assemble_line(std::ref(in), line, sizeof line), 3);
    EXPECT_STREQ(line, "one");
    EXPECT_EQ(assemble_line(std::ref(in), line, sizeof line), 3);
    EXPECT_STREQ(line, "two");
    EXPECT_EQ(assemble_line(std::ref(in), line, sizeof line), 0);
    EXPECT_STREQ(line, "");
    EXPECT_EQ(assemble_line(std::ref(in), line, sizeof line), 4);  // no line end before the end
    EXPECT_STREQ(line, "last");
}

TEST(LineAssembly, OverlongLineKeepsItsStartAndDropsTheRest)
{
    ByteStream in{std::string(30, 'x') + "\nnext\n"};
    char line[11];
    EXPECT_EQ(assemble_line(std::ref(in), line, sizeof line), 10);
    EXPECT_EQ(std::string(line), std::string(10, 'x'));
    EXPECT_EQ(assemble_line(std::ref(in), line, sizeof line), 4);
    EXPECT_STREQ(line, "next");
}

TEST(LineAssembly, HighBytesPassUnchanged)
{
    ByteStream in{"\xAC\xFF\x80\n"};
    char line[8];
    EXPECT_EQ(assemble_line(std::ref(in), line, sizeof line), 3);
    EXPECT_EQ(std::string(line), "\xAC\xFF\x80");
}

namespace {

// The key an escape sequence decodes to, as "lead,scan/length", or "none".
std::string decoded(const std::string& bytes)
{
    ConsoleKey key{-1, -1};
    int length = decode_key_sequence(reinterpret_cast<const unsigned char*>(bytes.data()),
                                     static_cast<int>(bytes.size()), &key);
    if (length == 0)
        return "none";
    return std::to_string(key.lead) + "," + std::to_string(key.scan) + "/" + std::to_string(length);
}

std::string echoed(int byte)
{
    char out[2];
    return std::string(out, static_cast<size_t>(key_echo(byte, out)));
}

}  // namespace

TEST(KeySequences, ArrowsAndEditingKeysBecomeExtendedKeys)
{
    EXPECT_EQ(decoded("\x1b[A"), "224,72/3");
    EXPECT_EQ(decoded("\x1b[B"), "224,80/3");
    EXPECT_EQ(decoded("\x1b[C"), "224,77/3");
    EXPECT_EQ(decoded("\x1b[D"), "224,75/3");
    EXPECT_EQ(decoded("\x1bOA"), "224,72/3");  // application cursor mode
    EXPECT_EQ(decoded("\x1b[H"), "224,71/3");
    EXPECT_EQ(decoded("\x1b[4~"), "224,79/4");
    EXPECT_EQ(decoded("\x1b[2~"), "224,82/4");
    EXPECT_EQ(decoded("\x1b[3~"), "224,83/4");
    EXPECT_EQ(decoded("\x1b[5~"), "224,73/4");
    EXPECT_EQ(decoded("\x1b[6~"), "224,81/4");
    EXPECT_EQ(decoded("\x1b[1;5A"), "224,72/6");  // with Ctrl: the modifier is ignored
}

TEST(KeySequences, FunctionKeysBecomeLeadZeroKeys)
{
    EXPECT_EQ(decoded("\x1bOP"), "0,59/3");
    EXPECT_EQ(decoded("\x1bOS"), "0,62/3");
    EXPECT_EQ(decoded("\x1b[15~"), "0,63/5");
    EXPECT_EQ(decoded("\x1b[21~"), "0,68/5");
    EXPECT_EQ(decoded("\x1b[[A"), "0,59/4");
    EXPECT_EQ(decoded("\x1b[24~"), "224,134/5");
}

TEST(KeySequences, AnythingElseIsNoKey)
{
    EXPECT_EQ(decoded("\x1b"), "none");
    EXPECT_EQ(decoded("\x1bx"), "none");
    EXPECT_EQ(decoded("\x1b[Z"), "none");
    EXPECT_EQ(decoded("\x1b[99~"), "none");
    EXPECT_EQ(decoded("\x1b[1"), "none");  // incomplete
    EXPECT_EQ(decoded("\x1b[" + std::string(14, '9') + "~"), "none");
    EXPECT_EQ(decoded("a[A"), "none");
}

TEST(KeySequences, ControlBytesEchoInCaretNotation)
{
    EXPECT_EQ(echoed('a'), "a");
    EXPECT_EQ(echoed('\r'), "\r");
    EXPECT_EQ(echoed('\t'), "\t");
    EXPECT_EQ(echoed(27), "^[");
    EXPECT_EQ(echoed(0), "^@");
    EXPECT_EQ(echoed(127), "^?");
    EXPECT_EQ(echoed(0xAC), "\xAC");
}

namespace {

// What platform_folder_files returns, then the names it visited in order.
std::string listing(const char* folder)
{
    std::vector<std::string> names;
    int count = platform_folder_files(
        folder, [](const char* name, void* context) { static_cast<std::vector<std::string>*>(context)->push_back(name); },
        &names);
    std::string text = std::to_string(count) + ":";
    for (const std::string& name : names)
        text += " " + name;
    return text;
}

}  // namespace

TEST(TestPlatform, AFoldersFilesAreTheEntriesDirectlyInItInByteOrder)
{
    fake_reset();
    fake_add_file("/s/b.cal", "b");
    fake_add_file("/s/B.cal", "B");
    fake_add_file("/s/locked", "", FakeFile::Unreadable);  // a file all the same
    fake_add_file("/s/sub", "", FakeFile::Folder);
    fake_add_file("/s/sub/deeper.cal", "d");
    fake_add_file("/sa.cal", "x");  // beside the folder, not in it
    ASSERT_EQ(platform_file_write("/s/a.cal", "a", 1), PLATFORM_FILE_OK);
    EXPECT_EQ(listing("/s"), "4: B.cal a.cal b.cal locked");
    EXPECT_EQ(listing("/s/"), "4: B.cal a.cal b.cal locked");
    EXPECT_EQ(listing("/s/sub"), "1: deeper.cal");
    EXPECT_EQ(listing("/"), "1: sa.cal");
    EXPECT_EQ(listing("/t"), "0:");
    EXPECT_EQ(listing(""), "0:");
    fake_folder_unreadable("/s");
    EXPECT_EQ(listing("/s"), "-1:");

    fake_reset();
    EXPECT_EQ(listing("/s"), "0:");
}
