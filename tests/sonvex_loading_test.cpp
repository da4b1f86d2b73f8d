// The bridge library the project builds (libsonvex.so, Linux only): it loads
// with the real synthesizer runtime and exports its four functions under the
// names the program looks up.
#include "test_support.h"

#include "midi/bridge.h"
#include "midi/device.h"

#include <dlfcn.h>

using ProjectBridge = VarentaTest;

TEST_F(ProjectBridge, LoadsWithTheRealRuntime)
{
    // The runtime by its soname, found where the system keeps it.
    fake_map_library(BRIDGE_RUNTIME_LIBRARY, BRIDGE_RUNTIME_LIBRARY);
    fake_map_library(BRIDGE_LIBRARY, SONVEX_LIBRARY_PATH);
    fake_add_port("Port A");
    EXPECT_EQ(init_device_catalogue(), 2);
    char name[1024];
    EXPECT_STREQ(device_name(1, name, sizeof name), "QuickTime");
    EXPECT_FALSE(bridge_active());

    // Each of the four exports is there under its exact name.
    void* library = dlopen(SONVEX_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr);
    for (const char* export_name :
         {BRIDGE_EXPORT_CLEANUP, BRIDGE_EXPORT_INITIALISE, BRIDGE_EXPORT_DELAY, BRIDGE_EXPORT_SEND})
        EXPECT_NE(dlsym(library, export_name), nullptr) << export_name;
    dlclose(library);
}
