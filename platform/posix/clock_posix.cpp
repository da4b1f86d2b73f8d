// The millisecond clock and sleeps on POSIX systems. A sleep watches the wake
// pipe, so a request to end cuts it short.
#include "platform/platform.h"
#include "platform/posix/wake_posix.h"

#include <cerrno>
#include <chrono>
#include <ctime>
#include <poll.h>

uint32_t platform_clock_ms()
{
    auto since_boot = std::chrono::steady_clock::now().time_since_epoch();
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(since_boot).count();
    return static_cast<uint32_t>(static_cast<uint64_t>(ms));  // wraps, as the seam promises
}

void platform_sleep_ms(uint32_t milliseconds)
{
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += static_cast<time_t>(milliseconds / 1000);
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_nsec -= 1000000000L;
        ++deadline.tv_sec;
    }
    for (;;) {
        if (platform_end_request() != 0)
            return;
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        timespec left;
        left.tv_sec = deadline.tv_sec - now.tv_sec;
        left.tv_nsec = deadline.tv_nsec - now.tv_nsec;
        if (left.tv_nsec < 0) {
            left.tv_nsec += 1000000000L;
            --left.tv_sec;
        }
        if (left.tv_sec < 0)
            return;
        // The wake pipe (when requests are watched) ends the wait early; a
        // signal handler that ran (EINTR) sends the loop round again.
        pollfd wake = {posix_wake_fd(), POLLIN, 0};
        if (wake.fd >= 0)
            ppoll(&wake, 1, &left, nullptr);
        else
            nanosleep(&left, nullptr);
    }
}
