// The output device catalogue and port; see device.h.
#include "midi/device.h"

#include "console/console.h"
#include "midi/bridge.h"
#include "midi/channel.h"
#include "platform/end_request.h"

#include <cstdlib>
#include <cstring>

const char* const MAPPER_NAME = "Standard Device - Midi Mapper";
const char* const QUICKTIME_NAME = "QuickTime";
const char* const NAME_NO_DRIVER = "(driver not installed)";
const char* const NAME_UNAVAILABLE = "(not available)";

namespace {

struct DeviceState {
    bool catalogue_ready;   // the catalogue has been built
    bool mapper_present;    // entry 0 is the default synthesizer
    int device_count;       // entries in the catalogue, >= 0
    int quicktime_index;    // index of the "QuickTime" entry; -1 = none
    bool port_open;         // a device is open (the bridge too)
    uint32_t open_time;     // clock reading at the last successful open, ms
} state = {false, false, 0, -1, false, 0};

// Registered by the way of tuning, not part of the device's state.
void (*closing_hook)() = nullptr;

// The largest sleep one call can ask for, in milliseconds.
constexpr double kMaxSleepMs = 4294967295.0;

void copy_name(const char* name, char* buffer, int length)
{
    size_t n = std::strlen(name);
    if (n > static_cast<size_t>(length - 1))
        n = static_cast<size_t>(length - 1);
    std::memcpy(buffer, name, n);
    buffer[n] = '\0';
}

int mapper_offset() { return state.mapper_present ? 1 : 0; }

}  // namespace

int init_device_catalogue()
{
    state.device_count = 0;
    char unused[64];
    if (platform_midi_port_name(PLATFORM_DEFAULT_SYNTH, unused, sizeof unused) == PLATFORM_OK) {
        state.device_count = 1;
        state.mapper_present = true;
    }
    state.device_count += platform_midi_port_count();
    if (load_bridge()) {
        state.quicktime_index = state.device_count;
        ++state.device_count;
    }
    state.catalogue_ready = true;
    return state.device_count;
}

char* device_name(int index, char* buffer, int length)
{
    if (!state.catalogue_ready)
        init_device_catalogue();
    if (buffer == nullptr || length < 1)
        return buffer;
    buffer[0] = '\0';
    if (index < 0 || index >= state.device_count)
        return buffer;
    if (index == 0 && state.mapper_present) {
        copy_name(MAPPER_NAME, buffer, length);
    } else if (index == state.quicktime_index) {
        copy_name(QUICKTIME_NAME, buffer, length);
    } else {
        int result = platform_midi_port_name(index - mapper_offset(), buffer, length);
        if (result == PLATFORM_NO_DRIVER)
            copy_name(NAME_NO_DRIVER, buffer, length);
        else if (result != PLATFORM_OK)
            copy_name(NAME_UNAVAILABLE, buffer, length);
    }
    return buffer;
}

void set_device_closing(void (*closing)()) { closing_hook = closing; }

int open_device(int index)
{
    if (!state.catalogue_ready)
        init_device_catalogue();
    if (index < 0)
        return state.port_open ? 2 : 0;
    if (index == state.quicktime_index && start_bridge() == 0)
        return 0;
    return open_port(index - mapper_offset());
}

int open_port(int device_id)
{
    if (state.port_open)
        return 2;
    if (!bridge_active()) {
        PortHandle handle = nullptr;
        if (platform_midi_open(device_id, &handle) != PLATFORM_OK)
            return 0;
        set_port_handle(handle);
    }
    state.port_open = true;
    if (!bridge_active())
        set_bend_range_all();
    reset_bends();
    set_program_all(current_program());
    state.open_time = platform_clock_ms();
    for (int channel = 0; channel < channel_count(); ++channel)
        channel_state(channel).last_use_ms = state.open_time;
    return 1;
}

int close_device()
{
    if (!state.port_open)
        return 0;
    if (closing_hook != nullptr)
        closing_hook();
    if (port_handle() != nullptr)
        platform_midi_close(port_handle());
    set_port_handle(nullptr);
    state.port_open = false;
    reset_bends();
    return 1;
}

double seconds_since_open()
{
    uint32_t elapsed = platform_clock_ms() - state.open_time;  // unsigned: one wrap still counts right
    return elapsed * 0.001;
}

void pause_seconds(double seconds)
{
    stop_if_asked();
    if (!(seconds > 0.0))
        return;
    double ms = seconds * 1000.0;
    platform_sleep_ms(ms >= kMaxSleepMs ? static_cast<uint32_t>(kMaxSleepMs) : static_cast<uint32_t>(ms));
    stop_if_asked();
}

bool port_open() { return state.port_open; }
int device_count() { return state.device_count; }
int quicktime_index() { return state.quicktime_index; }
bool mapper_present() { return state.mapper_present; }

void device_reset() { state = DeviceState{false, false, 0, -1, false, 0}; }

int find_device(const char* typed)
{
    const int count = device_count();
    char name[1024];
    if (all_digits(typed)) {
        const long number = std::strlen(typed) > 9 ? 0 : std::strtol(typed, nullptr, 10);
        return number >= 1 && number <= count ? static_cast<int>(number - 1) : -1;
    }
    for (int i = 0; i < count; ++i) {
        if (equals_nocase(device_name(i, name, sizeof name), typed))
            return i;
    }
    int found = -1;
    for (int i = 0; i < count; ++i) {
        if (contains_nocase(device_name(i, name, sizeof name), typed)) {
            if (found >= 0)
                return -1;
            found = i;
        }
    }
    return found;
}
