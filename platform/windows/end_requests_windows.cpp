// Requests to end on Windows: the console's Ctrl-C, Ctrl-Break and close
// (also logoff and shutdown) events.
//
// The system runs the control handler on a thread of its own. The handler
// only records the request, sets the wake event that every wait of the
// program watches, and interrupts a console line read; the main thread then
// ends every note and closes the device, and only then ends the process. For
// the close event the process dies as soon as the handler returns, so the
// handler waits there (within the few seconds the system allows) while the
// main thread does its part. A second request while one is pending ends the
// process at once.
#include "platform/platform.h"
#include "platform/windows/wake_windows.h"

namespace {

struct EndRequestState {
    volatile LONG request;  // the request that asked to end (PLATFORM_REQUEST_*); 0 = none
    HANDLE wake;            // manual-reset event, set with request; nullptr until watched
    bool watching;          // the handler is installed
} ending = {0, nullptr, false};

// How long the handler holds the process alive after a close, logoff or
// shutdown event: the system ends it about 5 s after the event anyway.
constexpr DWORD kCloseGraceMs = 4500;

// How a process ended by Ctrl-C exits (STATUS_CONTROL_C_EXIT).
constexpr UINT kControlCExit = 0xC000013A;

int request_for(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT: return PLATFORM_REQUEST_INTERRUPT;
    case CTRL_BREAK_EVENT: return PLATFORM_REQUEST_QUIT;
    default: return PLATFORM_REQUEST_HANGUP;  // close, logoff, shutdown
    }
}

BOOL WINAPI on_console_event(DWORD event)
{
    if (InterlockedCompareExchange(&ending.request, request_for(event), 0) != 0) {
        // Asked again while ending: at once, from this thread.
        windows_restore_console();
        TerminateProcess(GetCurrentProcess(), kControlCExit);
    }
    SetEvent(ending.wake);
    windows_interrupt_console_read();
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        Sleep(kCloseGraceMs);  // the main thread ends the process first
    return TRUE;
}

}  // namespace

void platform_watch_end_requests()
{
    if (ending.watching)
        return;
    ending.watching = true;
    ending.wake = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

int platform_end_request() { return static_cast<int>(ending.request); }

void platform_end_by_request(int)
{
    windows_restore_console();
    ExitProcess(kControlCExit);
}

HANDLE windows_wake_event() { return ending.wake; }
