// MIDI input on Windows: the multimedia system's midiIn devices. WinMM calls
// back on a thread of its own for each short message; the callback queues it
// and sets an event that the console's wait for a key also watches. WinMM
// has no ports of a program's own, so the program can only read a device
// (PLATFORM_MIDI_IN_OWN_PORT does not open).
#include "platform/midi_input_queue.h"
#include "platform/platform.h"
#include "platform/windows/wake_windows.h"
#include "platform/winmm_results.h"

#include <windows.h>
#include <mmsystem.h>

static_assert(WINMM_INPUT_DATA == MIM_DATA, "WinMM message types");

namespace {

struct MidiInputState {
    bool counted;       // the devices have been counted
    int device_count;   // midiInGetNumDevs at the first count, >= 0
    HMIDIIN device;     // the open device; nullptr when none
    HANDLE arrived;     // auto-reset event, set after a message is queued; nullptr until opened
    MidiInQueue queue;  // from the callback to the main thread
} input;

// WinMM's callback: only queueing and SetEvent, which WinMM allows here.
void CALLBACK on_input(HMIDIIN, UINT message, DWORD_PTR, DWORD_PTR param1, DWORD_PTR)
{
    unsigned char bytes[3];
    size_t size = winmm_input_bytes(message, param1, bytes);
    if (size > 0 && midi_in_queue_push(input.queue, bytes, size))
        SetEvent(input.arrived);
}

}  // namespace

int platform_midi_in_count()
{
    if (!input.counted) {
        input.counted = true;
        input.device_count = static_cast<int>(midiInGetNumDevs());
    }
    return input.device_count;
}

int platform_midi_in_name(int index, char* buffer, int length)
{
    if (index < 0)
        return winmm_port_name(MMSYSERR_BADDEVICEID, nullptr, 0, buffer, length);
    MIDIINCAPSA caps = {};
    MMRESULT result = midiInGetDevCapsA(static_cast<UINT>(index), &caps, sizeof caps);
    return winmm_port_name(result, caps.szPname, sizeof caps.szPname, buffer, length);
}

int platform_midi_in_open(int index)
{
    if (input.device != nullptr || index < 0)
        return index == PLATFORM_MIDI_IN_OWN_PORT || input.device != nullptr ? PLATFORM_UNAVAILABLE
                                                                              : PLATFORM_BAD_DEVICE;
    if (input.arrived == nullptr)
        input.arrived = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (input.arrived == nullptr)
        return PLATFORM_UNAVAILABLE;
    HMIDIIN device = nullptr;
    MMRESULT result = midiInOpen(&device, static_cast<UINT>(index), reinterpret_cast<DWORD_PTR>(&on_input), 0,
                                 CALLBACK_FUNCTION);
    if (result != MMSYSERR_NOERROR)
        return winmm_seam_result(result);
    if (midiInStart(device) != MMSYSERR_NOERROR) {
        midiInClose(device);
        return PLATFORM_UNAVAILABLE;
    }
    input.device = device;
    return PLATFORM_OK;
}

void platform_midi_in_close()
{
    if (input.device == nullptr)
        return;
    midiInStop(input.device);
    midiInReset(input.device);
    midiInClose(input.device);
    input.device = nullptr;
}

void platform_midi_in_listen(bool on) { midi_in_set_listening(on, input.queue); }

bool platform_midi_in_take(uint32_t* message) { return midi_in_queue_take(input.queue, message); }

HANDLE windows_midi_event() { return input.device != nullptr ? input.arrived : nullptr; }

bool windows_midi_in_pending() { return midi_in_queue_pending(input.queue); }

bool platform_midi_in_wait(uint32_t timeout_ms)
{
    if (midi_in_queue_pending(input.queue))
        return true;
    HANDLE handles[2];
    DWORD count = 0;
    if (input.arrived != nullptr)
        handles[count++] = input.arrived;
    if (windows_wake_event() != nullptr)
        handles[count++] = windows_wake_event();
    if (count == 0)
        Sleep(timeout_ms);
    else
        WaitForMultipleObjects(count, handles, FALSE, timeout_ms);
    return midi_in_queue_pending(input.queue);
}

bool platform_midi_in_gone() { return false; }
