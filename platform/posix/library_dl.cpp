// Libraries loaded by file name on POSIX systems: dlopen by file name alone,
// so LD_LIBRARY_PATH, the program's RUNPATH and the system paths apply in the
// loader's own order; then, failing that, the program's own folder.
#include "platform/platform.h"

#include <dlfcn.h>
#include <limits.h>
#include <string>
#include <unistd.h>

// The program's own folder, with its final slash; empty when unknown.
static std::string program_folder()
{
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return std::string();
    std::string folder(path, static_cast<size_t>(n));
    return folder.substr(0, folder.rfind('/') + 1);
}

void* platform_library_load(const char* file_name)
{
    if (file_name == nullptr)
        return nullptr;
    void* library = dlopen(file_name, RTLD_NOW | RTLD_LOCAL);
    if (library != nullptr || std::string(file_name).find('/') != std::string::npos)
        return library;
    // The run path that finds a library beside the program applies only to
    // the program's own calls; a dlopen routed through a sanitizer's
    // interceptor, or a binary whose run path a tool stripped, loses it.
    std::string beside = program_folder();
    if (beside.empty())
        return nullptr;
    return dlopen((beside + file_name).c_str(), RTLD_NOW | RTLD_LOCAL);
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
