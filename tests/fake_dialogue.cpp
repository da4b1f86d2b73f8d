// The program on the test platform, for an end-to-end test to set beside the
// real one: it reads a script from standard input, runs the whole program on
// it and prints every message the port received, one a line as hex bytes
// ("90 3c 64"; a system exclusive message whole). Script lines:
//   port NAME      a MIDI output port the device menu lists
//   source NAME    a MIDI source
//   midi-in PORT   opens MIDI input as --midi-in PORT would
//   keys HEX...    console input, as hex bytes
//   midi HEX...    one MIDI event, arriving before the keys that follow it
#include "app/reset.h"
#include "dialogue/driver.h"
#include "live/midi_source.h"
#include "platform/fake/fake_platform.h"

#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::vector<unsigned char> hex_bytes(std::istringstream& words)
{
    std::vector<unsigned char> bytes;
    unsigned value;
    while (words >> std::hex >> value)
        bytes.push_back(static_cast<unsigned char>(value));
    return bytes;
}

}  // namespace

int main()
{
    program_reset();
    fake_reset();
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream words(line);
        std::string word;
        words >> word;
        std::string rest;
        std::getline(words >> std::ws, rest);
        std::istringstream values(rest);
        if (word == "port") {
            fake_add_port(rest.c_str());
        } else if (word == "source") {
            fake_midi_in_add_source(rest.c_str());
        } else if (word == "midi-in") {
            if (open_midi_input(rest.c_str()) != 0)
                return 2;
        } else if (word == "keys") {
            std::vector<unsigned char> bytes = hex_bytes(values);
            fake_console_input(std::string(bytes.begin(), bytes.end()));
        } else if (word == "midi") {
            fake_midi_in_event(hex_bytes(values));
        }
    }
    int status = run_program();
    for (const FakeMessage& m : fake_messages()) {
        if (m.route != FakeRoute::Port)
            continue;
        if (m.status == 0xF0) {
            for (size_t i = 0; i < m.bytes.size(); ++i)
                std::printf(i == 0 ? "%02x" : " %02x", m.bytes[i]);
            std::printf("\n");
            continue;
        }
        std::printf("%02x %02x", m.word & 0xFF, (m.word >> 8) & 0xFF);
        if (m.data_bytes == 2)
            std::printf(" %02x", (m.word >> 16) & 0xFF);
        std::printf("\n");
    }
    return status;
}
