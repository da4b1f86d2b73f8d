// The millisecond clock and sleeps on POSIX systems.
#include "platform/platform.h"

#include <cerrno>
#include <chrono>
#include <ctime>

uint32_t platform_clock_ms()
{
    auto since_boot = std::chrono::steady_clock::now().time_since_epoch();
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(since_boot).count();
    return static_cast<uint32_t>(static_cast<uint64_t>(ms));  // wraps, as the seam promises
}

void platform_sleep_ms(uint32_t milliseconds)
{
    timespec left;
    left.tv_sec = static_cast<time_t>(milliseconds / 1000);
    left.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    // A signal handler may interrupt the sleep; sleep out the rest.
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}
