// The MIDI output layer: packing, clamps, bend rounding, the catalogue, the
// opening and closing sequences, timing, the bridge route, and system
// exclusive messages.
#include "test_support.h"

#include "midi/bridge.h"
#include "midi/channel.h"
#include "midi/device.h"

#include <cmath>
#include <limits>
#include <vector>

namespace {

// An open port with no default synthesizer: device 0, log cleared.
void open_plain_port()
{
    fake_add_port("Port A");
    ASSERT_EQ(open_device(0), 1);
    fake_clear_messages();
}

// A started bridge, log cleared.
void open_bridge(const FakeBridgeOptions& options = FakeBridgeOptions())
{
    fake_add_library(BRIDGE_RUNTIME_LIBRARY);
    fake_add_bridge(BRIDGE_LIBRARY, options);
    ASSERT_EQ(init_device_catalogue(), 1);
    ASSERT_EQ(open_device(0), 1);
    fake_clear_messages();
}

}  // namespace

using ChannelMessages = VarentaTest;
using PitchBend = VarentaTest;
using Catalogue = VarentaTest;
using OpenClose = VarentaTest;
using Timing = VarentaTest;
using Bridge = VarentaTest;

TEST_F(ChannelMessages, PackShortMessagesAsTheWireExpects)
{
    EXPECT_EQ(pack_short_message(0x90, 3, 60, 127), 0x007F3C93u);
    EXPECT_EQ(pack_short_message(0xC0, 0, 6, 0), 0x000006C0u);
    EXPECT_EQ(pack_short_message(0xE0, 0, 0, 64), 0x004000E0u);
    // Only the low bits of each field reach the word.
    EXPECT_EQ(pack_short_message(0x95, 0x13, 0x1FF, 0x180), 0x0080FF93u);
}

TEST_F(ChannelMessages, NoteMessagesClampAndCountOnTheClampedChannel)
{
    open_plain_port();
    note_on(port_handle(), 40, 60, 100);
    note_on(port_handle(), -3, 200, -5);
    note_off(port_handle(), 7, -4, 300);
    EXPECT_EQ(describe_log(), "9F 60 100\n90 127 0\n87 0 127\n");
    EXPECT_EQ(channel_state(15).sounding_notes, 1);
    EXPECT_EQ(channel_state(0).sounding_notes, 1);
    // A note-off without a note-on is counted all the same.
    EXPECT_EQ(channel_state(7).sounding_notes, -1);
}

TEST_F(ChannelMessages, StateFollowsEvenWithNothingOpen)
{
    EXPECT_EQ(note_on(port_handle(), 2, 60, 100), 0);
    set_pitch_bend(port_handle(), 2, 9000.0);
    EXPECT_TRUE(fake_messages().empty());
    EXPECT_EQ(channel_state(2).sounding_notes, 1);
    EXPECT_EQ(channel_state(2).bend, 9000.0);
}

TEST_F(ChannelMessages, ProgramsAndBendRangesSkipThePercussionChannel)
{
    open_plain_port();
    set_program_all(19);
    EXPECT_EQ(describe_log(), lines(program_changes(19)));
    EXPECT_EQ(current_program(), 19);
    for (const FakeMessage& m : fake_messages())
        EXPECT_EQ(m.data_bytes, 1);

    fake_clear_messages();
    set_bend_range(port_handle(), 4, 2, 0);
    EXPECT_EQ(describe_log(), "B4 101 0\nB4 100 0\nB4 6 2\nB4 38 0\n");
}

TEST_F(PitchBend, SentOnlyWhenTheRoundedValueChanges)
{
    open_plain_port();  // every channel but 9 centred at 8192.0
    set_pitch_bend(port_handle(), 3, 8192.4);
    EXPECT_EQ(describe_log(), "");
    EXPECT_EQ(channel_state(3).bend, 8192.4);
    set_pitch_bend(port_handle(), 3, 8192.6);
    EXPECT_EQ(describe_log(), "E3 1 64\n");  // 8193 = 64 * 128 + 1

    fake_clear_messages();
    set_pitch_bend(port_handle(), 4, 8191.5);  // rounds half up to 8192
    EXPECT_EQ(describe_log(), "");
    set_pitch_bend(port_handle(), 4, 8191.49);
    EXPECT_EQ(describe_log(), "E4 127 63\n");  // 8191
}

TEST_F(PitchBend, ClampedForSendingButStoredAsRequested)
{
    open_plain_port();
    set_pitch_bend(port_handle(), 5, 20000.0);
    EXPECT_EQ(describe_log(), "E5 127 127\n");
    EXPECT_EQ(channel_state(5).bend, 20000.0);
    set_pitch_bend(port_handle(), 5, 17000.0);  // still 16383 on the wire
    EXPECT_EQ(describe_log(), "E5 127 127\n");
    set_pitch_bend(port_handle(), 5, -300.0);
    EXPECT_EQ(describe_log(), "E5 127 127\nE5 0 0\n");
}

TEST_F(PitchBend, UnknownMarkerRoundsToZero)
{
    open_plain_port();
    for (double quiet : {0.0, -1.0, -1e300, 0.49}) {
        channel_state(6).bend = UNKNOWN_BEND;
        set_pitch_bend(port_handle(), 6, quiet);
        EXPECT_EQ(describe_log(), "") << quiet;
    }
    channel_state(6).bend = UNKNOWN_BEND;
    set_pitch_bend(port_handle(), 6, 0.6);
    EXPECT_EQ(describe_log(), "E6 1 0\n");
}

TEST_F(PitchBend, NotANumberIsSentAsZero)
{
    open_plain_port();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(bend_for_sending(nan), 0);
    EXPECT_EQ(bend_for_sending(std::numeric_limits<double>::infinity()), BEND_MAX);
    EXPECT_EQ(bend_for_sending(-std::numeric_limits<double>::infinity()), 0);
    EXPECT_EQ(bend_for_sending(1e300), BEND_MAX);
    set_pitch_bend(port_handle(), 2, nan);
    EXPECT_EQ(describe_log(), "E2 0 0\n");
    EXPECT_TRUE(std::isnan(channel_state(2).bend));
    set_pitch_bend(port_handle(), 2, 0.2);  // NaN counts as 0: nothing changes
    EXPECT_EQ(describe_log(), "E2 0 0\n");
}

TEST_F(PitchBend, ChannelsOutOfRangeAreRejected)
{
    open_plain_port();
    EXPECT_EQ(set_pitch_bend(port_handle(), 16, 8000.0), 0);
    EXPECT_EQ(set_pitch_bend(port_handle(), -1, 8000.0), 0);
    EXPECT_EQ(describe_log(), "");
    EXPECT_EQ(channel_state(16).bend, 0.0);
}

TEST_F(Catalogue, MapperPortsAndBridgeInOrder)
{
    fake_set_default_synth(true);
    fake_add_port("Port A");
    fake_add_port("Port B");
    fake_add_library(BRIDGE_RUNTIME_LIBRARY);
    fake_add_bridge(BRIDGE_LIBRARY);
    EXPECT_EQ(init_device_catalogue(), 4);
    EXPECT_EQ(quicktime_index(), 3);
    char name[1024];
    EXPECT_STREQ(device_name(0, name, sizeof name), "Standard Device - Midi Mapper");
    EXPECT_STREQ(device_name(1, name, sizeof name), "Port A");
    EXPECT_STREQ(device_name(2, name, sizeof name), "Port B");
    EXPECT_STREQ(device_name(3, name, sizeof name), "QuickTime");
    EXPECT_STREQ(device_name(4, name, sizeof name), "");
    EXPECT_FALSE(bridge_active());
    EXPECT_EQ(channel_count(), 16);
}

TEST_F(Catalogue, DeviceIdsFollowTheMapper)
{
    fake_set_default_synth(true);
    fake_add_port("Port A");
    ASSERT_EQ(open_device(0), 1);
    EXPECT_EQ(fake_open_device_id(), PLATFORM_DEFAULT_SYNTH);
    close_device();
    ASSERT_EQ(open_device(1), 1);
    EXPECT_EQ(fake_open_device_id(), 0);
}

TEST_F(Catalogue, WithoutMapperIndexZeroIsTheFirstPort)
{
    fake_add_port("Port A");
    EXPECT_EQ(init_device_catalogue(), 1);
    ASSERT_EQ(open_device(0), 1);
    EXPECT_EQ(fake_open_device_id(), 0);
}

TEST_F(Catalogue, NamesAreCutToTheBuffer)
{
    fake_set_default_synth(true);
    char name[16] = "xxxxxxxxxxxxxxx";
    EXPECT_STREQ(device_name(0, name, 1), "");
    EXPECT_STREQ(device_name(0, name, 10), "Standard ");
}

TEST_F(Catalogue, UnreadablePortsAreListedWithTheirFailure)
{
    fake_add_port("Hidden", PLATFORM_NO_DRIVER);
    fake_add_port("Broken", PLATFORM_UNAVAILABLE);
    char name[1024];
    EXPECT_STREQ(device_name(0, name, sizeof name), "(driver not installed)");
    EXPECT_STREQ(device_name(1, name, sizeof name), "(not available)");
    // Opening such a port is tried like any other.
    EXPECT_EQ(open_device(1), 1);
}

TEST_F(Catalogue, IndicesThatNameNoEntry)
{
    fake_add_port("Port A");
    char name[1024] = "stale";
    EXPECT_STREQ(device_name(1, name, sizeof name), "");
    EXPECT_STREQ(device_name(-1, name, sizeof name), "");
    EXPECT_STREQ(device_name(-100, name, sizeof name), "");
    EXPECT_EQ(open_device(1), 0);
    // -1 is never the bridge entry (there is none) nor the default synthesizer.
    fake_set_default_synth(false);
    EXPECT_EQ(quicktime_index(), -1);
    EXPECT_EQ(open_device(-1), 0);
    EXPECT_EQ(fake_bridge_init_calls(), 0);
    EXPECT_EQ(fake_open_count(), 0);
    ASSERT_EQ(open_device(0), 1);
    EXPECT_EQ(open_device(-1), 2);
    EXPECT_EQ(open_device(5), 2);
}

TEST_F(Catalogue, FailedOpenChangesNothing)
{
    fake_add_port("Busy", PLATFORM_OK, false);
    EXPECT_EQ(open_device(0), 0);
    EXPECT_FALSE(port_open());
    EXPECT_TRUE(fake_messages().empty());
}

TEST_F(OpenClose, PortOpeningSendsRangesBendsThenPrograms)
{
    fake_add_port("Port A");
    set_program_all(33);  // remembered while nothing is open
    fake_set_clock(5000);
    ASSERT_EQ(open_device(0), 1);
    EXPECT_EQ(describe_log(), lines(port_opening(33)));
    for (int ch = 0; ch < 16; ++ch) {
        EXPECT_EQ(channel_state(ch).last_use_ms, 5000u);
        EXPECT_EQ(channel_state(ch).sounding_notes, 0);
        EXPECT_EQ(channel_state(ch).bend, ch == 9 ? UNKNOWN_BEND : BEND_CENTRE);
    }
    EXPECT_EQ(channel_state(16).last_use_ms, 0u);
}

TEST_F(OpenClose, SecondOpenSendsNothing)
{
    open_plain_port();
    EXPECT_EQ(open_device(0), 2);
    EXPECT_TRUE(fake_messages().empty());
    EXPECT_EQ(fake_open_count(), 1);
}

TEST_F(OpenClose, CloseResetsStateWithoutReachingThePort)
{
    open_plain_port();
    note_on(port_handle(), 3, 60, 100);
    set_pitch_bend(port_handle(), 3, 9000.0);
    fake_clear_messages();
    EXPECT_EQ(close_device(), 1);
    EXPECT_EQ(fake_close_count(), 1);
    EXPECT_TRUE(fake_messages().empty());
    for (int ch = 0; ch < 16; ++ch) {
        EXPECT_EQ(channel_state(ch).sounding_notes, 0);
        EXPECT_EQ(channel_state(ch).bend, ch == 9 ? UNKNOWN_BEND : BEND_CENTRE);
    }
    EXPECT_EQ(close_device(), 0);
    EXPECT_EQ(fake_close_count(), 1);
}

TEST_F(Timing, PausesSleepWholeMilliseconds)
{
    pause_seconds(0.0004);
    EXPECT_EQ(fake_slept_ms(), 0u);
    pause_seconds(1.2349);
    EXPECT_EQ(fake_clock(), 1234u);
    uint64_t before = fake_slept_ms();
    pause_seconds(-1.0);
    pause_seconds(0.0);
    pause_seconds(std::numeric_limits<double>::quiet_NaN());
    EXPECT_EQ(fake_slept_ms(), before);
    // Absurd lengths are held to the longest sleep rather than overflowing.
    pause_seconds(1e300);
    EXPECT_EQ(fake_slept_ms(), before + 4294967295u);
}

TEST_F(Timing, SecondsSinceOpenSurviveAClockWrap)
{
    fake_add_port("Port A");
    fake_set_clock(4294967000u);  // 296 ms before the wrap
    ASSERT_EQ(open_device(0), 1);
    pause_seconds(0.2);
    EXPECT_DOUBLE_EQ(seconds_since_open(), 0.2);
    pause_seconds(0.5);
    EXPECT_DOUBLE_EQ(seconds_since_open(), 0.7);
    EXPECT_LT(fake_clock(), 1000u);  // wrapped
}

TEST_F(Timing, BeforeAnyOpenTheClockReadsFromZero)
{
    fake_set_clock(2500);
    EXPECT_DOUBLE_EQ(seconds_since_open(), 2.5);
}

TEST_F(Bridge, ListedButInactiveUntilChosen)
{
    fake_add_port("Port A");
    fake_add_library(BRIDGE_RUNTIME_LIBRARY);
    fake_add_bridge(BRIDGE_LIBRARY);
    EXPECT_EQ(init_device_catalogue(), 2);
    ASSERT_EQ(open_device(0), 1);
    EXPECT_EQ(channel_count(), 16);
    note_on(port_handle(), 2, 60, 90);
    EXPECT_EQ(describe(fake_messages().back()), "92 60 90");
    EXPECT_EQ(fake_bridge_init_calls(), 0);
}

TEST_F(Bridge, OpeningSendsBendsAndProgramsOverThirtyTwoChannels)
{
    fake_add_library(BRIDGE_RUNTIME_LIBRARY);
    fake_add_bridge(BRIDGE_LIBRARY);
    ASSERT_EQ(open_device(0), 1);
    EXPECT_EQ(fake_open_count(), 0);
    EXPECT_EQ(port_handle(), nullptr);
    std::vector<std::string> expected;
    for (int ch = 0; ch < 32; ++ch) {
        if (ch != 9)
            expected.push_back("bridge E0 " + std::to_string(ch) + " 0 64");
    }
    for (const std::string& change : program_changes(0, 32, true))
        expected.push_back(change);
    EXPECT_EQ(describe_log(), lines(expected));
    EXPECT_EQ(channel_count(), 32);
    EXPECT_EQ(fake_bridge_init_calls(), 1);
}

TEST_F(Bridge, MessagesGoWholeToTheSendFunction)
{
    open_bridge();
    note_on(port_handle(), 20, 60, 100);
    set_program_all(5);
    set_pitch_bend(port_handle(), 16, 8000.0);
    std::vector<std::string> expected = {"bridge 90 20 60 100"};
    for (const std::string& change : program_changes(5, 32, true))
        expected.push_back(change);
    expected.push_back("bridge E0 16 64 62");  // 8000 = 62 * 128 + 64
    EXPECT_EQ(describe_log(), lines(expected));
}

TEST_F(Bridge, CloseKeepsTheBridgeActive)
{
    open_bridge();
    EXPECT_EQ(close_device(), 1);
    EXPECT_EQ(fake_messages().size(), 31u);  // the centring bends still go out
    EXPECT_TRUE(bridge_active());
    EXPECT_EQ(channel_count(), 32);
    EXPECT_EQ(fake_bridge_cleanup_calls(), 0);
}

TEST_F(Bridge, RuntimeWithoutBridgeStaysLoaded)
{
    fake_add_library(BRIDGE_RUNTIME_LIBRARY);
    EXPECT_EQ(load_bridge(), 0);
    EXPECT_EQ(load_bridge(), 0);
    EXPECT_EQ(fake_library_loaded(BRIDGE_RUNTIME_LIBRARY), 1);
    EXPECT_EQ(init_device_catalogue(), 0);
    EXPECT_EQ(start_bridge(), 0);
    EXPECT_FALSE(bridge_active());
}

TEST_F(Bridge, MissingRuntimeMeansNoBridge)
{
    fake_add_bridge(BRIDGE_LIBRARY);
    EXPECT_EQ(load_bridge(), 0);
    EXPECT_EQ(fake_library_loaded(BRIDGE_LIBRARY), 0);
}

TEST_F(Bridge, WithoutInitialiseItCannotStart)
{
    FakeBridgeOptions options;
    options.initialise = false;
    fake_add_library(BRIDGE_RUNTIME_LIBRARY);
    fake_add_bridge(BRIDGE_LIBRARY, options);
    EXPECT_EQ(init_device_catalogue(), 1);
    EXPECT_EQ(open_device(0), 0);
    EXPECT_FALSE(port_open());
}

TEST_F(Bridge, FailedInitialiseLeavesItActive)
{
    FakeBridgeOptions options;
    options.init_result = 0;
    fake_add_library(BRIDGE_RUNTIME_LIBRARY);
    fake_add_bridge(BRIDGE_LIBRARY, options);
    EXPECT_EQ(open_device(0), 0);
    EXPECT_TRUE(bridge_active());
    EXPECT_FALSE(port_open());
}

TEST_F(Bridge, WithoutSendNothingIsSent)
{
    FakeBridgeOptions options;
    options.send = false;
    open_bridge(options);
    note_on(port_handle(), 20, 60, 100);
    EXPECT_TRUE(fake_messages().empty());
    EXPECT_EQ(channel_state(20).sounding_notes, 1);
}

TEST_F(Bridge, StopCleansUpAndReleasesBothLibraries)
{
    open_bridge();
    stop_bridge();
    EXPECT_EQ(fake_bridge_cleanup_calls(), 1);
    EXPECT_FALSE(bridge_active());
    EXPECT_EQ(fake_library_loaded(BRIDGE_RUNTIME_LIBRARY), 0);
    EXPECT_EQ(fake_library_loaded(BRIDGE_LIBRARY), 0);
    stop_bridge();
    EXPECT_EQ(fake_bridge_cleanup_calls(), 1);
}

TEST_F(Bridge, ChoosingItWhileAPortIsOpenTakesOverTheOutput)
{
    fake_add_port("Port A");
    fake_add_library(BRIDGE_RUNTIME_LIBRARY);
    fake_add_bridge(BRIDGE_LIBRARY);
    ASSERT_EQ(open_device(0), 1);
    fake_clear_messages();
    EXPECT_EQ(open_device(1), 2);
    EXPECT_TRUE(bridge_active());
    EXPECT_NE(port_handle(), nullptr);
    note_on(port_handle(), 3, 60, 100);
    EXPECT_EQ(describe_log(), "bridge 90 3 60 100\n");
}

namespace {

// A real-time single note tuning change of tuning program 0: key 69 (0x45)
// tuned to semitone 69 plus 0/16384, A440 itself.
const std::vector<uint8_t> kTuning = {0xF0, 0x7F, 0x7F, 0x08, 0x02, 0x00, 0x01, 0x45, 0x45, 0x00, 0x00, 0xF7};

// A well-formed message of the given length, 0xF0 and 0xF7 included.
std::vector<uint8_t> sysex_of_length(size_t length)
{
    std::vector<uint8_t> bytes(length, 0x7F);
    bytes.front() = 0xF0;
    bytes.back() = 0xF7;
    return bytes;
}

int send_sysex(const std::vector<uint8_t>& bytes)
{
    return send_system_exclusive(port_handle(), bytes.data(), bytes.size());
}

}  // namespace

using SystemExclusive = VarentaTest;

TEST_F(SystemExclusive, GoesWholeToThePortInOrderWithChannelMessagesAndIsCounted)
{
    open_plain_port();
    const uint32_t sent_before = messages_sent();
    note_on(port_handle(), 0, 69, 100);
    EXPECT_EQ(send_sysex(kTuning), 1);
    note_on(port_handle(), 1, 64, 90);
    EXPECT_EQ(send_sysex(sysex_of_length(3)), 1);  // the shortest
    EXPECT_EQ(send_sysex(sysex_of_length(PLATFORM_SYSEX_MAX)), 1);  // the longest
    note_off(port_handle(), 0, 69, 0);
    const auto& log = fake_messages();
    ASSERT_EQ(log.size(), 6u);
    EXPECT_EQ(describe(log[0]), "90 69 100");
    EXPECT_EQ(describe(log[1]), "F0 7F 7F 08 02 00 01 45 45 00 00 F7");
    EXPECT_EQ(describe(log[2]), "91 64 90");
    EXPECT_EQ(describe(log[3]), "F0 7F F7");
    EXPECT_EQ(log[4].bytes, sysex_of_length(PLATFORM_SYSEX_MAX));
    EXPECT_EQ(describe(log[5]), "80 69 0");
    for (size_t i : {1, 3, 4}) {
        EXPECT_EQ(log[i].route, FakeRoute::Port) << i;
        EXPECT_EQ(log[i].status, 0xF0) << i;
        EXPECT_EQ(log[i].device_id, 0) << i;
    }
    EXPECT_EQ(messages_sent() - sent_before, 6u);
}

TEST_F(SystemExclusive, MalformedMessagesAreRefusedWholeAndNotCounted)
{
    open_plain_port();
    std::vector<uint8_t> middle_end = kTuning;
    middle_end[5] = 0xF7;
    std::vector<uint8_t> high_data = kTuning;
    high_data[8] = 0x80;
    std::vector<uint8_t> no_end = kTuning;
    no_end.pop_back();
    const struct {
        std::vector<uint8_t> bytes;
        const char* why;
    } cases[] = {
        {{}, "nothing"},
        {{0xF0, 0xF7}, "no data byte"},
        {{0x90, 0x45, 0x64}, "a note-on"},
        {std::vector<uint8_t>(kTuning.begin() + 1, kTuning.end()), "no 0xF0 first"},
        {no_end, "no 0xF7 last"},
        {middle_end, "0xF7 inside"},
        {high_data, "a data byte of 0x80"},
        {sysex_of_length(PLATFORM_SYSEX_MAX + 1), "one byte too long"},
    };
    const uint32_t sent_before = messages_sent();
    for (const auto& c : cases)
        EXPECT_EQ(send_sysex(c.bytes), 0) << c.why;
    EXPECT_EQ(send_system_exclusive(port_handle(), nullptr, kTuning.size()), 0);
    EXPECT_EQ(describe_log(), "");
    EXPECT_EQ(messages_sent(), sent_before);
}

TEST_F(SystemExclusive, NothingGoesOutOnTheBridgeWithoutAPortOrToAPortThatRefusesIt)
{
    EXPECT_EQ(send_sysex(kTuning), 0);  // no port open
    fake_add_port("Port A");
    fake_add_library(BRIDGE_RUNTIME_LIBRARY);
    fake_add_bridge(BRIDGE_LIBRARY);
    ASSERT_EQ(open_device(0), 1);
    fake_clear_messages();
    // A port that cannot take system exclusive: channel messages still go.
    fake_ports_take_sysex(false);
    EXPECT_EQ(send_sysex(kTuning), 0);
    note_on(port_handle(), 0, 69, 100);
    fake_ports_take_sysex(true);
    EXPECT_EQ(send_sysex(kTuning), 1);
    EXPECT_EQ(describe_log(), "90 69 100\nF0 7F 7F 08 02 00 01 45 45 00 00 F7\n");
    // The bridge takes over from the open port, whose handle stays: the
    // bridge gets the channel messages, and nobody the tuning message.
    ASSERT_EQ(open_device(1), 2);
    ASSERT_TRUE(bridge_active());
    ASSERT_NE(port_handle(), nullptr);
    fake_clear_messages();
    const uint32_t sent_before = messages_sent();
    note_on(port_handle(), 20, 69, 100);
    EXPECT_EQ(send_sysex(kTuning), 0);
    note_off(port_handle(), 20, 69, 0);
    EXPECT_EQ(describe_log(), "bridge 90 20 69 100\nbridge 80 20 69 0\n");
    EXPECT_EQ(messages_sent() - sent_before, 2u);
}
