// Libraries loaded by file name on POSIX systems: dlopen by file name alone,
// so LD_LIBRARY_PATH, the program's RUNPATH and the system paths apply in the
// loader's own order.
#include "platform/platform.h"

#include <dlfcn.h>

void* platform_library_load(const char* file_name)
{
    if (file_name == nullptr)
        return nullptr;
    return dlopen(file_name, RTLD_NOW | RTLD_LOCAL);
}

void* platform_library_symbol(void* library, const char* name)
{
    if (library == nullptr || name == nullptr)
        return nullptr;
    return dlsym(library, name);
}

void platform_library_free(void* library)
{
    if (library != nullptr)
        dlclose(library);
}
