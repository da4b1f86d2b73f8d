// How every backend hands a folder's path to the caller's buffer: whole and
// terminated, or not at all.
#pragma once

#include <cstddef>
#include <cstring>

// Copies path[0 .. length) into buffer (size bytes) with its terminating
// zero; returns length, or -1 when it does not fit (buffer then holds "").
inline int folder_out(const char* path, size_t length, char* buffer, int size)
{
    if (buffer == nullptr || size < 1)
        return -1;
    if (length > static_cast<size_t>(size - 1)) {
        buffer[0] = '\0';
        return -1;
    }
    std::memcpy(buffer, path, length);
    buffer[length] = '\0';
    return static_cast<int>(length);
}
