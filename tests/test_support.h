// Shared test set-up: every subsystem and the fake platform back to their
// state at program start, and compact views of the MIDI log.
#pragma once

#include "platform/fake/fake_platform.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

// Resets every subsystem and the fake platform.
void reset_all();

// A test whose every case starts from a freshly started program.
class VarentaTest : public ::testing::Test {
protected:
    void SetUp() override { reset_all(); }
};

// A message as "E0 3 0 64": status with channel for the port route (hex),
// or "bridge 90 20 60 100" for the bridge route; data in decimal. A system
// exclusive message reads as all its bytes in hex: "F0 7F 7F 08 02 00 01 45
// 45 00 00 F7".
std::string describe(const FakeMessage& message);

// The whole log (or its part from index first), one message per line.
std::string describe_log(size_t first = 0);

// The messages a port receives when opened with 16 channels and the given
// remembered program: bend-range controllers, centring bends, programs.
std::vector<std::string> port_opening(int program);

// Program changes on every channel but 9 of the given channel count.
std::vector<std::string> program_changes(int program, int channels = 16, bool bridge = false);

// Joins lines, each ending in "\n".
std::string lines(const std::vector<std::string>& items);

// Opens a single fake port (16 channels) or the fake bridge (32 channels) and
// clears the log, so a test sees only what it causes itself.
void open_fake_port();
void open_fake_bridge();

// Runs the whole program on the scripted console; returns its exit status,
// 128 + the signal's number when a request to end ended it.
int run_dialogue(const std::string& input);
