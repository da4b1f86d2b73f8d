// WinMM results as the seam reports them; see winmm_results.h.
#include "platform/winmm_results.h"

#include "platform/platform.h"

#include <cstring>

int winmm_seam_result(unsigned result)
{
    switch (result) {
    case WINMM_NO_ERROR: return PLATFORM_OK;
    case WINMM_BAD_DEVICE_ID: return PLATFORM_BAD_DEVICE;
    case WINMM_NO_DRIVER: return PLATFORM_NO_DRIVER;
    default: return PLATFORM_UNAVAILABLE;
    }
}

int winmm_port_name(unsigned result, const char* product_name, size_t field_size, char* buffer, int length)
{
    if (buffer == nullptr || length < 1)
        return winmm_seam_result(result);
    size_t n = 0;
    if (result == WINMM_NO_ERROR && product_name != nullptr) {
        // A driver may fill the field to its last byte without a terminator.
        const void* end = std::memchr(product_name, '\0', field_size);
        n = end != nullptr ? static_cast<size_t>(static_cast<const char*>(end) - product_name) : field_size;
    }
    if (n > static_cast<size_t>(length - 1))
        n = static_cast<size_t>(length - 1);
    if (n > 0)
        std::memcpy(buffer, product_name, n);
    buffer[n] = '\0';
    return winmm_seam_result(result);
}
