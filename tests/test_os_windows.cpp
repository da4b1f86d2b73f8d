// What the tests need from the operating system, on Windows.
#include "test_os.h"

#include <cstdlib>
#include <windows.h>

int test_process_id() { return static_cast<int>(GetCurrentProcessId()); }

void test_set_environment(const char* name, const char* value)
{
    _putenv_s(name, value != nullptr ? value : "");  // an empty value removes it
}
