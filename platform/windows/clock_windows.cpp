// The millisecond clock and sleeps on Windows: timeGetTime, with the system
// timer at its finest period (1 ms) for the whole run, so that sleeps last
// whole milliseconds rather than the default 15.6 ms ticks that would bend
// the schedule of the harmonic series. A sleep waits on the wake event, so a
// request to end cuts it short.
#include "platform/platform.h"
#include "platform/windows/wake_windows.h"

#include <mmsystem.h>

namespace {

struct ClockState {
    bool fine_timer;  // timeBeginPeriod(1) is in force (until the process ends)
} clock_state = {false};

void hold_fine_timer()
{
    if (clock_state.fine_timer)
        return;
    clock_state.fine_timer = true;
    timeBeginPeriod(1);  // the system drops it when the process ends
}

}  // namespace

uint32_t platform_clock_ms()
{
    hold_fine_timer();
    return static_cast<uint32_t>(timeGetTime());
}

void platform_sleep_ms(uint32_t milliseconds)
{
    hold_fine_timer();
    if (platform_end_request() != 0)
        return;
    // INFINITE is 0xFFFFFFFF: the longest sleep stops one millisecond short of it.
    DWORD wait = milliseconds == INFINITE ? INFINITE - 1 : milliseconds;
    HANDLE wake = windows_wake_event();
    if (wake != nullptr)
        WaitForSingleObject(wake, wait);
    else
        Sleep(wait);
}
