// MIDI output on Windows: the multimedia system's MIDI output ports, the MIDI
// mapper (the system's default synthesizer) as device id -1. Messages go out
// with midiOutShortMsg, which returns once the message has been handed to the
// driver; a system exclusive message goes out with midiOutLongMsg, and the
// send waits until the driver has played its buffer. So nothing sent later
// can overtake it, and closing has nothing left to deliver.
#include "platform/platform.h"
#include "platform/system_exclusive.h"
#include "platform/winmm_results.h"

#include <windows.h>
#include <mmsystem.h>

#include <cstring>

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
// How long a system exclusive message may take to be played: the longest
// takes 82 ms on a MIDI cable; a driver still holding it after this is taken
// for one that no longer answers.
constexpr DWORD kLongMessagePatienceMs = 2000;
// How long a reset may take to hand the buffer back after that.
constexpr DWORD kResetPatienceMs = 500;

// A system exclusive message as the driver reads it: header and bytes, in
// memory that stays ours until the driver marks the header done.
struct LongMessage {
    MIDIHDR header;
    char bytes[PLATFORM_SYSEX_MAX];
};

// Waits until the driver has marked the header done, at most patience_ms.
bool wait_until_done(const MIDIHDR& header, DWORD patience_ms)
{
    // The driver sets the flag from a thread of its own.
    const volatile DWORD& flags = header.dwFlags;
    for (DWORD waited = 0; (flags & MHDR_DONE) == 0; ++waited) {
        if (waited >= patience_ms)
            return false;
        Sleep(1);
    }
    return true;
}

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

int platform_midi_send_sysex(PortHandle handle, const uint8_t* bytes, size_t length)
{
    if (handle == nullptr || !sysex_well_formed(bytes, length))
        return PLATFORM_UNAVAILABLE;
    LongMessage* message = new LongMessage();
    std::memcpy(message->bytes, bytes, length);
    MIDIHDR& header = message->header;
    header.lpData = message->bytes;
    header.dwBufferLength = static_cast<DWORD>(length);
    header.dwBytesRecorded = static_cast<DWORD>(length);
    if (midiOutPrepareHeader(handle->handle, &header, sizeof header) != MMSYSERR_NOERROR) {
        delete message;
        return PLATFORM_UNAVAILABLE;
    }
    MMRESULT result = midiOutLongMsg(handle->handle, &header, sizeof header);
    for (DWORD waited = 0; result == MIDIERR_NOTREADY && waited < kBusyPatienceMs; ++waited) {
        Sleep(1);
        result = midiOutLongMsg(handle->handle, &header, sizeof header);
    }
    bool played = result == MMSYSERR_NOERROR;
    if (played && !wait_until_done(header, kLongMessagePatienceMs)) {
        // Only a reset makes a driver that does not answer hand the buffer
        // back (it also ends the notes of a device that has stopped playing).
        // Should even that not bring it back, the buffer is left to the
        // driver rather than freed under it.
        played = false;
        midiOutReset(handle->handle);
        if (!wait_until_done(header, kResetPatienceMs))
            return PLATFORM_UNAVAILABLE;
    }
    midiOutUnprepareHeader(handle->handle, &header, sizeof header);
    delete message;
    return played ? PLATFORM_OK : PLATFORM_UNAVAILABLE;
}

void platform_midi_close(PortHandle handle)
{
    if (handle == nullptr)
        return;
    midiOutClose(handle->handle);
    delete handle;
}
