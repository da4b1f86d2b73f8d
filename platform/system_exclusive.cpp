// The system exclusive rule; see system_exclusive.h.
#include "platform/system_exclusive.h"

#include "platform/platform.h"

bool sysex_well_formed(const uint8_t* bytes, size_t length)
{
    if (bytes == nullptr || length < 3 || length > PLATFORM_SYSEX_MAX)
        return false;
    if (bytes[0] != 0xF0 || bytes[length - 1] != 0xF7)
        return false;
    for (size_t i = 1; i + 1 < length; ++i) {
        if (bytes[i] >= 0x80)
            return false;
    }
    return true;
}
