// What the tests need from the operating system, one small file per system
// (test_os_posix.cpp, test_os_windows.cpp).
#pragma once

// This process's id, to name temporary files no other test run uses.
int test_process_id();

// Sets an environment variable of this process (and the libraries it loads);
// a null value removes it.
void test_set_environment(const char* name, const char* value);
