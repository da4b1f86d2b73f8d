// Libraries loaded by file name on Windows: LoadLibraryA by file name alone,
// so the system's search order applies (the program's own folder first).
#include "platform/platform.h"

#include <windows.h>

void* platform_library_load(const char* file_name)
{
    if (file_name == nullptr)
        return nullptr;
    // A library that is missing, or needs one that is, fails silently: no
    // dialog box in front of the console.
    DWORD previous_mode = 0;
    SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &previous_mode);
    HMODULE library = LoadLibraryA(file_name);
    SetThreadErrorMode(previous_mode, nullptr);
    return reinterpret_cast<void*>(library);
}

void* platform_library_symbol(void* library, const char* name)
{
    if (library == nullptr || name == nullptr)
        return nullptr;
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void platform_library_free(void* library)
{
    if (library != nullptr)
        FreeLibrary(static_cast<HMODULE>(library));
}
