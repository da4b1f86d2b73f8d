// The software-synthesizer bridge; see bridge.h.
#include "midi/bridge.h"

#include "platform/platform.h"

namespace {

typedef void (*CleanUpFunction)();
typedef int (*InitialiseFunction)();
typedef int (*DelayFunction)(int, int);
typedef int (*SendFunction)(int status, int channel, int data1, int data2);
typedef int (*InitialiseOfflineFunction)(const char* soundfont_path, int sample_rate, int in_tune);
typedef int (*RenderFunction)(int frames, float* left, float* right);
typedef int (*CorrectionsFunction)(int bank, int program, int* corrected_keys);

// The offline build's extra exports.
const char* const kExportInitialiseOffline = "Sonvex_TestOnly_InitialiseOffline";
const int kInTuneFromCache = 3;  // its in_tune: the tunings a real start has kept, if any
const char* const kExportRender = "Sonvex_TestOnly_Render";
const char* const kExportCorrections = "Sonvex_TestOnly_Corrections";

struct BridgeState {
    void* runtime_library;          // the synthesizer runtime; nullptr = not loaded
    void* bridge_library;           // the bridge; nullptr = not loaded
    CleanUpFunction cleanup;        // nullptr where the export is missing
    InitialiseFunction initialise;  // nullptr where the export is missing
    DelayFunction delay;            // looked up, never called
    SendFunction send;              // nullptr where the export is missing
    bool active;                    // output goes to the bridge, 32 channels
    RenderFunction render;          // the offline bridge's renderer; nullptr otherwise
    CorrectionsFunction corrections;  // the offline bridge's account of its key corrections; nullptr otherwise
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
    state.render = nullptr;
}

bool bridge_active() { return state.active; }

bool bridge_send(int status, int channel, int data1, int data2)
{
    if (!state.active || state.send == nullptr)
        return false;
    state.send(status, channel, data1, data2);
    return true;
}

int start_offline_bridge(int sample_rate)
{
    if (state.active && state.render == nullptr)
        return 0;  // the real-time bridge plays already
    if (state.bridge_library != nullptr && state.render == nullptr) {
        platform_library_free(state.bridge_library);
        state.bridge_library = nullptr;
    }
    if (state.runtime_library == nullptr)
        state.runtime_library = platform_library_load(BRIDGE_RUNTIME_LIBRARY);
    if (state.bridge_library == nullptr)
        state.bridge_library = platform_library_load(BRIDGE_OFFLINE_LIBRARY);
    if (state.runtime_library == nullptr || state.bridge_library == nullptr)
        return 0;
    InitialiseOfflineFunction initialise_offline = find_export<InitialiseOfflineFunction>(kExportInitialiseOffline);
    RenderFunction render = find_export<RenderFunction>(kExportRender);
    if (load_bridge() == 0 || initialise_offline == nullptr || render == nullptr || state.send == nullptr)
        return 0;
    // No SoundFont named: the one the bridge itself would play, with the key
    // tunings its first start has worked out and kept (until then the
    // SoundFont as it states itself, as the real start plays it at first).
    if (initialise_offline(nullptr, sample_rate, kInTuneFromCache) == 0)
        return 0;
    state.render = render;
    state.corrections = find_export<CorrectionsFunction>(kExportCorrections);
    state.active = true;
    return 1;
}

BridgeCorrections bridge_corrections(int program, int* corrected_keys)
{
    *corrected_keys = 0;
    if (!state.active || state.render == nullptr || state.corrections == nullptr)
        return BRIDGE_CORRECTIONS_UNKNOWN;
    switch (state.corrections(0, program, corrected_keys)) {
    case BRIDGE_CORRECTIONS_CACHED:
        return BRIDGE_CORRECTIONS_CACHED;
    case BRIDGE_CORRECTIONS_SHIPPED:
        return BRIDGE_CORRECTIONS_SHIPPED;
    default:
        *corrected_keys = 0;
        return BRIDGE_CORRECTIONS_NONE;
    }
}

bool bridge_render(int frames, float* left, float* right)
{
    return state.active && state.render != nullptr && state.render(frames, left, right) != 0;
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
