// The portable parts of the platform backends: the choice of the default
// synthesizer among the listed ports, and how bytes become lines.
#include "platform/line_assembly.h"
#include "platform/port_choice.h"

#include <gtest/gtest.h>

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
