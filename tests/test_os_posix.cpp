// What the tests need from the operating system, on POSIX systems.
#include "test_os.h"

#include <cstdlib>
#include <unistd.h>

int test_process_id() { return static_cast<int>(getpid()); }

void test_set_environment(const char* name, const char* value)
{
    if (value != nullptr)
        setenv(name, value, 1);
    else
        unsetenv(name);
}
