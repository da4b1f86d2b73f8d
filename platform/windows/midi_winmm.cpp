// MIDI output on Windows: the multimedia system's MIDI output ports, the MIDI
// mapper (the system's default synthesizer) as device id -1. Messages go out
// with midiOutShortMsg, which returns once the message has been handed to the
// driver, so closing has nothing left to deliver.
#include "platform/platform.h"
#include "platform/winmm_results.h"

#include <windows.h>
#include <mmsystem.h>

static_assert(WINMM_NO_ERROR == MMSYSERR_NOERROR, "WinMM result codes");
static_assert(WINMM_BAD_DEVICE_ID == MMSYSERR_BADDEVICEID, "WinMM result codes");
static_assert(WINMM_NO_DRIVER == MMSYSERR_NODRIVER, "WinMM result codes");

namespace {

struct MidiBackendState {
    bool counted;     // the ports have been counted
    int port_count;   // midiOutGetNumDevs at the first count, >= 0
} midi = {false, 0};

// How long a send waits for a driver that reports itself busy.
constexpr DWORD kBusyPatienceMs = 1000;

// The WinMM device id for a seam device id; false for an id that names none.
bool winmm_id(int device_id, UINT* id)
{
    if (device_id == PLATFORM_DEFAULT_SYNTH) {
        *id = MIDI_MAPPER;
        return true;
    }
    if (device_id < 0)
        return false;
    *id = static_cast<UINT>(device_id);
    return true;
}

}  // namespace

struct PlatformPort {
    HMIDIOUT handle;
};

int platform_midi_port_count()
{
    if (!midi.counted) {
        midi.counted = true;
        midi.port_count = static_cast<int>(midiOutGetNumDevs());
    }
    return midi.port_count;
}

int platform_midi_port_name(int device_id, char* buffer, int length)
{
    UINT id;
    if (!winmm_id(device_id, &id))
        return winmm_port_name(MMSYSERR_BADDEVICEID, nullptr, 0, buffer, length);
    MIDIOUTCAPSA caps = {};
    MMRESULT result = midiOutGetDevCapsA(id, &caps, sizeof caps);
    return winmm_port_name(result, caps.szPname, sizeof caps.szPname, buffer, length);
}

int platform_midi_open(int device_id, PortHandle* handle)
{
    UINT id;
    if (!winmm_id(device_id, &id))
        return PLATFORM_BAD_DEVICE;
    HMIDIOUT opened = nullptr;
    MMRESULT result = midiOutOpen(&opened, id, 0, 0, CALLBACK_NULL);
    if (result != MMSYSERR_NOERROR)
        return winmm_seam_result(result);
    *handle = new PlatformPort{opened};
    return PLATFORM_OK;
}

int platform_midi_send(PortHandle handle, uint32_t message, int)
{
    if (handle == nullptr)
        return PLATFORM_UNAVAILABLE;
    MMRESULT result = midiOutShortMsg(handle->handle, message);
    // A busy driver takes the message a moment later; one that stays busy
    // is given up on.
    for (DWORD waited = 0; result == MIDIERR_NOTREADY && waited < kBusyPatienceMs; ++waited) {
        Sleep(1);
        result = midiOutShortMsg(handle->handle, message);
    }
    return winmm_seam_result(result);
}

void platform_midi_close(PortHandle handle)
{
    if (handle == nullptr)
        return;
    midiOutClose(handle->handle);
    delete handle;
}
