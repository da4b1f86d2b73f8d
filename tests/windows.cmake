# The Windows build's tests, run under wine through the cross-compiling
# emulator (scripts/wine-run): the unit and dialogue tests on the fake
# platform, the Windows backend itself, and the real .exe end to end.
# The offline-render tests and the project's own bridge need FluidSynth,
# which has no Windows build here: they are Linux only.
target_sources(varenta_tests PRIVATE test_os_windows.cpp)
# One wine process for the whole suite: a wine start per test case would
# cost more than the tests themselves.
add_test(NAME unit COMMAND varenta_tests --gtest_brief=1)

add_executable(varenta_windows_tests windows_platform_test.cpp)
target_link_libraries(varenta_windows_tests PRIVATE varenta_platform GTest::gtest_main varenta_warnings)
# Under a pseudo-terminal (script, from util-linux), where wine gives the
# program a console: Ctrl-C can only be sent through one.
add_test(NAME windows_platform
  COMMAND script -qec "env WINEPREFIX=${VARENTA_WINE_PREFIX} ${VARENTA_WINE} $<TARGET_FILE:varenta_windows_tests> --gtest_brief=1 --gtest_color=no" /dev/null)

# The real program under wine with piped input, beside the Linux program of
# the Linux build given the same input: the same bytes (line ends aside),
# the same bridge messages.
set(VARENTA_LINUX_BUILD_DIR ${PROJECT_SOURCE_DIR}/build CACHE PATH
    "The Linux build whose program the Windows program is compared with")
add_test(NAME e2e.windows COMMAND ${VARENTA_PYTHON} -m unittest -v test_windows
         WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/e2e)
set_tests_properties(e2e.windows PROPERTIES
  ENVIRONMENT "VARENTA_WINDOWS_PROGRAM=$<TARGET_FILE:varenta-test>;VARENTA_WINDOWS_RUNTIME=$<TARGET_FILE:stand_in_runtime>;VARENTA_WINDOWS_BRIDGE=$<TARGET_FILE:stand_in_bridge>;VARENTA_WINDOWS_BRIDGE_INIT_FAILS=$<TARGET_FILE:stand_in_bridge_init_fails>;VARENTA_WINE=${VARENTA_WINE};VARENTA_WINE_PREFIX=${VARENTA_WINE_PREFIX};VARENTA_LINUX_PROGRAM=${VARENTA_LINUX_BUILD_DIR}/bin/varenta-test;VARENTA_LINUX_BRIDGE=${VARENTA_LINUX_BUILD_DIR}/tests/fixtures/libstand_in_bridge.so;VARENTA_LINUX_BRIDGE_INIT_FAILS=${VARENTA_LINUX_BUILD_DIR}/tests/fixtures/libstand_in_bridge_init_fails.so;PYTHONDONTWRITEBYTECODE=1"
  TIMEOUT 300)
