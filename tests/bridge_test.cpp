// Loading the bridge from real shared libraries: the stand-in runtime and
// stand-in bridges of tests/fixtures (each records every call it receives in
// a file).
#include "expected_texts.h"
#include "test_os.h"
#include "test_support.h"

#include "midi/bridge.h"
#include "midi/channel.h"
#include "midi/device.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace {

const char* const kRecordVariable = "VARENTA_BRIDGE_RECORD";

// A path that names no file, so loading it fails the way a missing library does.
std::string missing_library()
{
    return ::testing::TempDir() + "varenta-no-such-library-" + std::to_string(test_process_id()) + ".so";
}

class BridgeLoading : public VarentaTest {
protected:
    void SetUp() override
    {
        VarentaTest::SetUp();
        record_path_ = ::testing::TempDir() + "varenta-bridge-record-" + std::to_string(test_process_id()) + ".txt";
        std::remove(record_path_.c_str());
        test_set_environment(kRecordVariable, record_path_.c_str());
    }
    void TearDown() override
    {
        reset_all();  // releases the libraries while the record file is still named
        test_set_environment(kRecordVariable, nullptr);
        std::remove(record_path_.c_str());
    }

    // The calls the stand-in bridge received, one per line.
    std::string recorded() const
    {
        std::ifstream in(record_path_);
        std::string text, line;
        while (std::getline(in, line))
            text += line + "\n";
        return text;
    }

    // Both libraries present: the stand-in runtime and the given bridge.
    void install(const char* bridge_path)
    {
        fake_map_library(BRIDGE_RUNTIME_LIBRARY, STAND_IN_RUNTIME);
        fake_map_library(BRIDGE_LIBRARY, bridge_path);
    }

private:
    std::string record_path_;
};

// "send <status> <channel> 0 64" for every channel but 9 of 32: the centring bends.
std::vector<std::string> centring_bends()
{
    std::vector<std::string> expected;
    for (int channel = 0; channel < 32; ++channel) {
        if (channel != 9)
            expected.push_back("send E0 " + std::to_string(channel) + " 0 64");
    }
    return expected;
}

std::vector<std::string> programs(int program)
{
    std::vector<std::string> expected;
    for (int channel = 0; channel < 32; ++channel) {
        if (channel != 9)
            expected.push_back("send C0 " + std::to_string(channel) + " " + std::to_string(program) + " 0");
    }
    return expected;
}

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::string entry(int index)
{
    char name[1024];
    return device_name(index, name, sizeof name);
}

}  // namespace

TEST_F(BridgeLoading, BothPresentListsQuickTimeLast)
{
    fake_add_port("Port A");
    fake_add_port("Port B");
    install(STAND_IN_BRIDGE);
    EXPECT_EQ(init_device_catalogue(), 3);
    EXPECT_EQ(quicktime_index(), 2);
    EXPECT_EQ(entry(0), "Port A");
    EXPECT_EQ(entry(1), "Port B");
    EXPECT_EQ(entry(2), "QuickTime");
    EXPECT_EQ(fake_library_loaded(BRIDGE_RUNTIME_LIBRARY), 1);
    EXPECT_EQ(fake_library_loaded(BRIDGE_LIBRARY), 1);
    // Loaded, not started: nothing called, 16 channels, the port still serves.
    EXPECT_FALSE(bridge_active());
    EXPECT_EQ(channel_count(), 16);
    EXPECT_EQ(recorded(), "");
    ASSERT_EQ(open_device(1), 1);
    EXPECT_EQ(fake_open_device_id(), 1);
    EXPECT_EQ(recorded(), "");
}

TEST_F(BridgeLoading, BridgeMissingMeansNoEntryAndTheRuntimeStaysLoaded)
{
    fake_add_port("Port A");
    fake_map_library(BRIDGE_RUNTIME_LIBRARY, STAND_IN_RUNTIME);
    const std::string missing = missing_library();
    fake_map_library(BRIDGE_LIBRARY, missing.c_str());
    EXPECT_EQ(init_device_catalogue(), 1);
    EXPECT_EQ(quicktime_index(), -1);
    EXPECT_EQ(entry(0), "Port A");
    EXPECT_EQ(entry(1), "");
    EXPECT_EQ(load_bridge(), 0);
    EXPECT_EQ(fake_library_loaded(BRIDGE_RUNTIME_LIBRARY), 1);  // loaded once, kept
    EXPECT_EQ(fake_library_loaded(BRIDGE_LIBRARY), 0);
    EXPECT_EQ(start_bridge(), 0);
    EXPECT_FALSE(bridge_active());
}

TEST_F(BridgeLoading, RuntimeMissingMeansNoEntryAndTheBridgeIsNotTried)
{
    fake_add_port("Port A");
    const std::string missing = missing_library();
    fake_map_library(BRIDGE_RUNTIME_LIBRARY, missing.c_str());
    fake_map_library(BRIDGE_LIBRARY, STAND_IN_BRIDGE);
    EXPECT_EQ(init_device_catalogue(), 1);
    EXPECT_EQ(quicktime_index(), -1);
    EXPECT_EQ(fake_library_loaded(BRIDGE_RUNTIME_LIBRARY), 0);
    EXPECT_EQ(fake_library_loaded(BRIDGE_LIBRARY), 0);
    EXPECT_EQ(start_bridge(), 0);
    EXPECT_FALSE(bridge_active());
    EXPECT_EQ(recorded(), "");
}

TEST_F(BridgeLoading, WithoutInitialiseTheBridgeIsListedButCannotStart)
{
    install(STAND_IN_BRIDGE_NO_INITIALISE);
    EXPECT_EQ(init_device_catalogue(), 1);
    EXPECT_EQ(entry(0), "QuickTime");
    EXPECT_EQ(start_bridge(), 0);
    EXPECT_EQ(open_device(0), 0);
    EXPECT_FALSE(port_open());
    EXPECT_EQ(recorded(), "");  // nothing was called, and nothing sent
}

TEST_F(BridgeLoading, WithoutInitialiseTheDialogueReportsTheFailure)
{
    using namespace expected;
    install(STAND_IN_BRIDGE_NO_INITIALISE);
    EXPECT_EQ(run_dialogue("\n\n"), 0);
    const std::string& output = fake_console_output();
    const std::string opening = kBanner + kMenuHeader + "A - QuickTime\n" + selected('A', "QuickTime") + kInitialising +
                                kCouldNotStart + kInstallMessageStart;
    EXPECT_EQ(output.substr(0, opening.size()), opening);
    EXPECT_EQ(output.substr(output.size() - kPressReturn.size()), kPressReturn);
    EXPECT_EQ(recorded(), "");
}

TEST_F(BridgeLoading, AnInitialiseThatFailsIsCalledOnceAndSendsNothing)
{
    install(STAND_IN_BRIDGE_INIT_FAILS);
    ASSERT_EQ(init_device_catalogue(), 1);
    EXPECT_EQ(open_device(0), 0);
    EXPECT_FALSE(port_open());
    EXPECT_EQ(recorded(), "initialise\n");
}

TEST_F(BridgeLoading, WithoutSendTheBridgeStartsButStaysSilent)
{
    install(STAND_IN_BRIDGE_NO_SEND);
    ASSERT_EQ(init_device_catalogue(), 1);
    ASSERT_EQ(open_device(0), 1);
    EXPECT_EQ(channel_count(), 32);
    note_on(port_handle(), 20, 60, 100);
    set_pitch_bend(port_handle(), 25, 5000.0);
    EXPECT_EQ(recorded(), "initialise\n");
    EXPECT_TRUE(fake_messages().empty());  // and nothing went to a port either
    EXPECT_EQ(channel_state(20).sounding_notes, 1);
}

TEST_F(BridgeLoading, OpeningSendsCentringBendsAndProgramsOnThirtyTwoChannels)
{
    install(STAND_IN_BRIDGE);
    ASSERT_EQ(init_device_catalogue(), 1);
    ASSERT_EQ(open_device(0), 1);
    EXPECT_EQ(channel_count(), 32);
    EXPECT_EQ(fake_open_count(), 0);  // no platform port
    // No bend-range controllers: the synthesizer's own range applies.
    EXPECT_EQ(recorded(), lines(std::vector<std::string>{"initialise"} + centring_bends() + programs(0)));
}

TEST_F(BridgeLoading, MessagesReachTheSendExportWithWholeChannels)
{
    install(STAND_IN_BRIDGE);
    ASSERT_EQ(init_device_catalogue(), 1);
    ASSERT_EQ(open_device(0), 1);
    const std::string opened = recorded();
    note_on(port_handle(), 16, 61, 100);
    note_on(port_handle(), 25, 62, 90);
    note_on(port_handle(), 31, 63, 80);
    note_off(port_handle(), 25, 62, 127);
    set_pitch_bend(port_handle(), 25, 5000.0);   // 5000 = 39 * 128 + 8
    set_pitch_bend(port_handle(), 31, 16383.0);
    set_pitch_bend(port_handle(), 32, 9000.0);   // no channel 32: nothing
    note_on(port_handle(), 40, 64, 70);          // clamped to channel 31
    set_program_all(6);
    EXPECT_EQ(recorded(), opened + lines(std::vector<std::string>{"send 90 16 61 100", "send 90 25 62 90",
                                                                  "send 90 31 63 80", "send 80 25 62 127",
                                                                  "send E0 25 8 39", "send E0 31 127 127",
                                                                  "send 90 31 64 70"} +
                                         programs(6)));
}

TEST_F(BridgeLoading, CloseKeepsTheBridgeAndStopReleasesIt)
{
    install(STAND_IN_BRIDGE);
    ASSERT_EQ(init_device_catalogue(), 1);
    ASSERT_EQ(open_device(0), 1);
    const std::string opened = recorded();
    EXPECT_EQ(close_device(), 1);
    EXPECT_EQ(recorded(), opened + lines(centring_bends()));
    EXPECT_TRUE(bridge_active());
    stop_bridge();
    EXPECT_EQ(recorded(), opened + lines(centring_bends()) + "cleanup\n");
    EXPECT_FALSE(bridge_active());
    EXPECT_EQ(channel_count(), 16);
    EXPECT_EQ(fake_library_loaded(BRIDGE_RUNTIME_LIBRARY), 0);
    EXPECT_EQ(fake_library_loaded(BRIDGE_LIBRARY), 0);
}

TEST_F(BridgeLoading, ChoosingQuickTimeAgainInitialisesAgain)
{
    install(STAND_IN_BRIDGE);
    ASSERT_EQ(init_device_catalogue(), 1);
    ASSERT_EQ(open_device(0), 1);
    const std::string opened = recorded();
    EXPECT_EQ(open_device(0), 2);  // already open: only the initialise runs
    EXPECT_EQ(recorded(), opened + "initialise\n");
}
