// How every backend hands what it found of folders to the caller: a
// folder's path, whole and terminated or not at all, and a folder's files,
// in byte order.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

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

// Visits the names in byte order (std::string compares as memcmp does,
// whatever order the file system listed them in); returns how many.
inline int visit_in_byte_order(std::vector<std::string>& names, void (*visit)(const char* name, void* context),
                               void* context)
{
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        if (visit != nullptr)
            visit(name.c_str(), context);
    }
    return static_cast<int>(names.size());
}
