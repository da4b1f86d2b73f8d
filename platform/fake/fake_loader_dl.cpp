// Real libraries for the test platform on POSIX systems: dlopen.
#include "platform/fake/fake_loader.h"

#include <dlfcn.h>

void* fake_loader_open(const char* path) { return dlopen(path, RTLD_NOW | RTLD_LOCAL); }

void* fake_loader_symbol(void* library, const char* name) { return dlsym(library, name); }

void fake_loader_close(void* library) { dlclose(library); }
