// Runs the program's measurement of the built-in synthesizer offline, on the
// test platform, with any library that has the offline bridge's exports in
// the place of the offline bridge, and writes the JSON results:
//   measure_offline LIBRARY RESULTS.json
// With the project's offline bridge it is what --measure QuickTime does;
// with the stock FluidSynth library of this folder it measures an offline
// render, by unmodified FluidSynth, of the very notes the measurement sends.
#include "app/reset.h"
#include "measure/measure.h"
#include "midi/bridge.h"
#include "platform/fake/fake_platform.h"

#include <cstdio>
#include <fstream>
#include <string>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: measure_offline LIBRARY RESULTS.json\n");
        return 2;
    }
    program_reset();
    fake_reset();
    fake_map_library(BRIDGE_RUNTIME_LIBRARY, "libfluidsynth.so.3");
    fake_map_library(BRIDGE_LIBRARY, argv[1]);
    fake_map_library(BRIDGE_OFFLINE_LIBRARY, argv[1]);
    const char* json = "results.json";
    MeasureRequest request = {"QuickTime", nullptr, nullptr, json, nullptr};
    int status = run_measure(request);
    std::fputs(fake_console_output().c_str(), stdout);
    std::fputs(fake_console_error_output().c_str(), stderr);
    std::ofstream(argv[2]) << fake_file(json);
    program_reset();
    return status;
}
