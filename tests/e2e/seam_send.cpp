// Sends MIDI through the real platform seam, for the end-to-end tests of the
// output backends: opens the output port named on the command line (as the
// device list names it, "midi-monitor:input" for a JACK port) and sends each
// line read from standard input as one message, in the order read:
//   90 3c 64                          a short message (platform_midi_send)
//   sysex f0 7f 7f 08 02 00 01 ... f7 a system exclusive message
//                                     (platform_midi_send_sysex), sent as
//                                     given, well formed or not
// It prints the seam's result for each line ("0" when sent), closes the port
// at the end of its input (which delivers what is still queued) and ends
// with status 0; status 2 when the port is not listed or does not open.
#include "platform/platform.h"

#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> hex_bytes(std::istringstream& words)
{
    std::vector<uint8_t> bytes;
    unsigned value;
    while (words >> std::hex >> value)
        bytes.push_back(static_cast<uint8_t>(value));
    return bytes;
}

int port_named(const char* wanted)
{
    for (int id = 0; id < platform_midi_port_count(); ++id) {
        char name[256];
        if (platform_midi_port_name(id, name, sizeof name) == PLATFORM_OK && std::strcmp(name, wanted) == 0)
            return id;
    }
    return -100;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: seam_send PORT\n");
        return 2;
    }
    PortHandle port = nullptr;
    const int id = port_named(argv[1]);
    if (id == -100 || platform_midi_open(id, &port) != PLATFORM_OK) {
        std::fprintf(stderr, "seam_send: cannot open %s\n", argv[1]);
        return 2;
    }
    char line[4096];
    while (std::fgets(line, sizeof line, stdin) != nullptr) {
        std::istringstream words(line);
        std::string first;
        if (!(words >> first))
            continue;
        int result;
        if (first == "sysex") {
            std::vector<uint8_t> bytes = hex_bytes(words);
            result = platform_midi_send_sysex(port, bytes.data(), bytes.size());
        } else {
            std::istringstream whole(line);
            std::vector<uint8_t> bytes = hex_bytes(whole);
            uint32_t message = 0;
            for (size_t i = 0; i < bytes.size() && i < 3; ++i)
                message |= static_cast<uint32_t>(bytes[i]) << (8 * i);
            result = platform_midi_send(port, message, bytes.size() == 2 ? 1 : 2);
        }
        std::printf("%d\n", result);
    }
    platform_midi_close(port);
    std::fflush(stdout);
    return 0;
}
