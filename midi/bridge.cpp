// The software-synthesizer bridge; see bridge.h.
#include "midi/bridge.h"

#include "platform/platform.h"

namespace {

typedef void (*CleanUpFunction)();
typedef int (*InitialiseFunction)();
typedef int (*DelayFunction)(int, int);
typedef int (*SendFunction)(int status, int channel, int data1, int data2);

struct BridgeState {
    void* runtime_library;          // the synthesizer runtime; nullptr = not loaded
    void* bridge_library;           // the bridge; nullptr = not loaded
    CleanUpFunction cleanup;        // nullptr where the export is missing
    InitialiseFunction initialise;  // nullptr where the export is missing
    DelayFunction delay;            // looked up, never called
    SendFunction send;              // nullptr where the export is missing
    bool active;                    // output goes to the bridge, 32 channels
} state;

template <class Function>
Function find_export(const char* name)
{
    return reinterpret_cast<Function>(platform_library_symbol(state.bridge_library, name));
}

}  // namespace

int load_bridge()
{
    if (state.runtime_library == nullptr) {
        state.runtime_library = platform_library_load(BRIDGE_RUNTIME_LIBRARY);
        if (state.runtime_library == nullptr)
            return 0;
    }
    if (state.bridge_library == nullptr) {
        state.bridge_library = platform_library_load(BRIDGE_LIBRARY);
        if (state.bridge_library == nullptr)
            return 0;
    }
    state.cleanup = find_export<CleanUpFunction>(BRIDGE_EXPORT_CLEANUP);
    state.initialise = find_export<InitialiseFunction>(BRIDGE_EXPORT_INITIALISE);
    state.delay = find_export<DelayFunction>(BRIDGE_EXPORT_DELAY);
    state.send = find_export<SendFunction>(BRIDGE_EXPORT_SEND);
    return 1;
}

int start_bridge()
{
    if (load_bridge() == 0)
        return 0;
    state.active = true;
    // A bridge without an initialise function cannot be started.
    if (state.initialise == nullptr)
        return 0;
    return state.initialise();
}

void stop_bridge()
{
    if (!state.active)
        return;
    if (state.cleanup != nullptr)
        state.cleanup();
    platform_library_free(state.runtime_library);
    platform_library_free(state.bridge_library);
    state.runtime_library = nullptr;
    state.bridge_library = nullptr;
    state.active = false;
}

bool bridge_active() { return state.active; }

bool bridge_send(int status, int channel, int data1, int data2)
{
    if (!state.active || state.send == nullptr)
        return false;
    state.send(status, channel, data1, data2);
    return true;
}

void bridge_reset()
{
    if (state.active) {
        stop_bridge();
    } else {
        platform_library_free(state.runtime_library);
        platform_library_free(state.bridge_library);
    }
    state = BridgeState();
}
