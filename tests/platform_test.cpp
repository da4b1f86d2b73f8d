// The portable parts of the platform backends: the choice of the default
// synthesizer among the listed ports, WinMM's results and port names as the
// seam reports them, how bytes become lines, and how terminal escape
// sequences become console keys.
#include "platform/key_sequences.h"
#include "platform/line_assembly.h"
#include "platform/platform.h"
#include "platform/port_choice.h"
#include "platform/winmm_results.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

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
