// How every backend reads an open file whole into the caller's buffer: to
// its end, and one byte more to learn whether it has grown past the buffer
// since its size was looked at.
#pragma once

#include "platform/platform.h"

// read_some(into, want) reads at most want bytes and returns how many (> 0),
// 0 at the end of the file, or -1 on failure; failure_code() then names the
// failure as a PLATFORM_FILE_ code. Returns PLATFORM_FILE_OK and stores the
// length, PLATFORM_FILE_TOO_LARGE, or failure_code().
template <class ReadSome, class FailureCode>
int read_whole_file(ReadSome read_some, FailureCode failure_code, char* buffer, size_t capacity, size_t* length)
{
    size_t got = 0;
    for (;;) {
        char extra;
        char* into = got < capacity ? buffer + got : &extra;
        size_t want = got < capacity ? capacity - got : 1;
        long n = read_some(into, want);
        if (n < 0)
            return failure_code();
        if (n == 0)
            break;
        if (got >= capacity)
            return PLATFORM_FILE_TOO_LARGE;
        got += static_cast<size_t>(n);
    }
    *length = got;
    return PLATFORM_FILE_OK;
}
