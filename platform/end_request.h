// How a request to end the program (Ctrl-C, a hang-up, a termination signal)
// reaches the portable code: the platform records it and wakes every wait;
// the next wait, or the next check in a long computation, throws EndRequested,
// which unwinds to the entry point. There every note is ended and the device
// closed on the main thread before the process ends as the request asked.
#pragma once

#include "platform/platform.h"

struct EndRequested {
    int request;  // the platform's request number (the signal number)
};

// Throws EndRequested when a request to end is pending. Cheap enough for
// every step of a long loop.
inline void stop_if_asked()
{
    int request = platform_end_request();
    if (request != 0)
        throw EndRequested{request};
}
