// Real libraries for the test platform on Windows: LoadLibraryA.
#include "platform/fake/fake_loader.h"

#include <windows.h>

void* fake_loader_open(const char* path) { return reinterpret_cast<void*>(LoadLibraryA(path)); }

void* fake_loader_symbol(void* library, const char* name)
{
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void fake_loader_close(void* library) { FreeLibrary(static_cast<HMODULE>(library)); }
