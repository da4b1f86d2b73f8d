// Shared test set-up; see test_support.h.
#include "test_support.h"

#include "app/reset.h"
#include "dialogue/driver.h"
#include "midi/bridge.h"
#include "midi/channel.h"
#include "midi/device.h"
#include "retune/notes.h"
#include "tuning/scale.h"
#include "tuning/scale_parser.h"

#include <cstdio>

void reset_all()
{
    program_reset();
    fake_reset();
}

std::string describe(const FakeMessage& m)
{
    char text[64];
    if (m.status == 0xF0) {
        std::string whole;
        for (uint8_t byte : m.bytes) {
            std::snprintf(text, sizeof text, whole.empty() ? "%02X" : " %02X", byte);
            whole += text;
        }
        return whole;
    }
    if (m.route == FakeRoute::Bridge)
        std::snprintf(text, sizeof text, "bridge %X %d %d %d", m.status, m.channel, m.data1, m.data2);
    else if (m.data_bytes == 1)
        std::snprintf(text, sizeof text, "%X%X %d", m.status >> 4, m.channel, m.data1);
    else
        std::snprintf(text, sizeof text, "%X%X %d %d", m.status >> 4, m.channel, m.data1, m.data2);
    return text;
}

std::string describe_log(size_t first)
{
    std::string text;
    const auto& log = fake_messages();
    for (size_t i = first; i < log.size(); ++i)
        text += describe(log[i]) + "\n";
    return text;
}

std::vector<std::string> port_opening(int program)
{
    std::vector<std::string> expected;
    char text[64];
    for (int ch = 0; ch < 16; ++ch) {
        if (ch == 9)
            continue;
        for (const char* controller : {"101 0", "100 0", "6 2", "38 0"}) {
            std::snprintf(text, sizeof text, "B%X %s", ch, controller);
            expected.push_back(text);
        }
    }
    for (int ch = 0; ch < 16; ++ch) {
        if (ch == 9)
            continue;
        std::snprintf(text, sizeof text, "E%X 0 64", ch);
        expected.push_back(text);
    }
    for (const std::string& change : program_changes(program))
        expected.push_back(change);
    return expected;
}

std::vector<std::string> program_changes(int program, int channels, bool bridge)
{
    std::vector<std::string> expected;
    char text[64];
    for (int ch = 0; ch < channels; ++ch) {
        if (ch == 9)
            continue;
        if (bridge)
            std::snprintf(text, sizeof text, "bridge C0 %d %d 0", ch, program);
        else
            std::snprintf(text, sizeof text, "C%X %d", ch, program);
        expected.push_back(text);
    }
    return expected;
}

std::string lines(const std::vector<std::string>& items)
{
    std::string text;
    for (const std::string& item : items)
        text += item + "\n";
    return text;
}

void open_fake_port()
{
    fake_add_port("Port A");
    ASSERT_EQ(open_device(0), 1);
    fake_clear_messages();
}

void open_fake_bridge()
{
    fake_add_library(BRIDGE_RUNTIME_LIBRARY);
    fake_add_bridge(BRIDGE_LIBRARY);
    ASSERT_EQ(init_device_catalogue(), 1);
    ASSERT_EQ(open_device(0), 1);
    fake_clear_messages();
}

int run_dialogue(const std::string& input)
{
    fake_console_input(input);
    try {
        return run_program();
    } catch (const FakeProcessEnded& ended) {
        return 128 + ended.request;  // as a shell reports a death by that signal
    }
}
