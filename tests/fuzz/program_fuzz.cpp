// The whole program on the test platform with the fuzz input as its console.
// The first byte sets up the machine (default synthesizer, ports that fail,
// the bridge and how it starts), the second may bring a request to end at a
// virtual moment; the rest is what the user types. A virtual-time limit and
// a limit on the steps of a long computation end every run through the
// request path, so typed counts of any size keep runs short.
#include "tests/fuzz/fuzz_targets.h"

#include "app/reset.h"
#include "dialogue/driver.h"
#include "midi/bridge.h"
#include "platform/fake/fake_platform.h"

#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr uint32_t kVirtualTimeLimitMs = 600000;  // ten minutes of the program's time
constexpr uint64_t kCheckLimit = 20000;           // steps of a long computation
const int kSignals[] = {PLATFORM_REQUEST_INTERRUPT, PLATFORM_REQUEST_TERMINATE, PLATFORM_REQUEST_HANGUP,
                        PLATFORM_REQUEST_QUIT};

void set_up_machine(uint8_t setup)
{
    if (setup & 1)
        fake_set_default_synth(true, (setup & 2) == 0);
    const int ports = (setup >> 2) & 3;
    const char* const names[] = {"Port One", "Port Two", "Port Three"};
    for (int i = 0; i < ports; ++i) {
        bool faulty = (setup & 16) != 0 && i == 1;
        fake_add_port(names[i], faulty ? PLATFORM_NO_DRIVER : PLATFORM_OK, !faulty);
    }
    if (setup & 32) {
        FakeBridgeOptions options;
        options.init_result = (setup & 64) ? 0 : 1;
        options.send = (setup & 128) == 0 || (setup & 64) == 0;
        fake_add_library(BRIDGE_RUNTIME_LIBRARY);
        fake_add_bridge(BRIDGE_LIBRARY, options);
    }
}

// Standard error, while a run lasts, goes to a file of its own, which must
// stay empty.
struct CapturedStderr {
    CapturedStderr()
    {
        static std::FILE* file = std::tmpfile();
        capture = file != nullptr ? fileno(file) : -1;
        if (capture >= 0 && ftruncate(capture, 0) == 0) {
            std::fflush(stderr);
            saved = dup(STDERR_FILENO);
            dup2(capture, STDERR_FILENO);
        }
    }
    // Restores stderr; returns the number of bytes written meanwhile.
    long long release()
    {
        if (saved < 0)
            return 0;
        std::fflush(stderr);
        dup2(saved, STDERR_FILENO);
        close(saved);
        saved = -1;
        struct stat status;
        return fstat(capture, &status) == 0 ? static_cast<long long>(status.st_size) : 0;
    }
    ~CapturedStderr() { release(); }
    int capture = -1;
    int saved = -1;
};

}  // namespace

void fuzz_check_midi_log()
{
    static int balance[2][32][128];
    std::memset(balance, 0, sizeof balance);
    for (const FakeMessage& m : fake_messages()) {
        const bool bridge = m.route == FakeRoute::Bridge;
        FUZZ_CHECK(m.status == 0x80 || m.status == 0x90 || m.status == 0xB0 || m.status == 0xC0 || m.status == 0xE0);
        FUZZ_CHECK(m.channel >= 0 && m.channel < (bridge ? 32 : 16));
        FUZZ_CHECK(m.data1 >= 0 && m.data1 < 128 && m.data2 >= 0 && m.data2 < 128);
        if (!bridge)
            FUZZ_CHECK((m.word >> 24) == 0 && m.data_bytes == (m.status == 0xC0 ? 1 : 2));
        int& notes = balance[bridge][m.channel][m.data1];
        if (m.status == 0x90)
            ++notes;
        if (m.status == 0x80) {
            FUZZ_CHECK(notes > 0);
            --notes;
        }
    }
    for (auto& route : balance)
        for (auto& channel : route)
            for (int notes : channel)
                FUZZ_CHECK(notes == 0);
}

int fuzz_program(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    program_reset();
    fake_reset();
    set_up_machine(data[0]);
    int asked = PLATFORM_REQUEST_TERMINATE;
    if (data[1] & 0x80) {
        asked = kSignals[data[1] & 3];
        fake_request_end_at_time(asked, (data[1] & 0x7C) * 250u);
    } else {
        fake_request_end_at_time(PLATFORM_REQUEST_TERMINATE, kVirtualTimeLimitMs);
    }
    fake_request_end_at_check(PLATFORM_REQUEST_TERMINATE, kCheckLimit);
    fake_console_input(std::string(reinterpret_cast<const char*>(data + 2), size - 2));

    int status;
    CapturedStderr captured;
    try {
        status = run_program();
    } catch (const FakeProcessEnded& ended) {
        status = 128 + ended.request;
    }
    FUZZ_CHECK(captured.release() == 0);
    FUZZ_CHECK(status == 0 || status == 128 + asked || status == 128 + PLATFORM_REQUEST_TERMINATE);
    fuzz_check_midi_log();
    return 0;
}
