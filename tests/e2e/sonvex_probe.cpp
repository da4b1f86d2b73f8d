// Drives the bridge library as the program does, outside the program, for
// the end-to-end audio checks: loads it, initialises it (real-time audio),
// plays a note, initialises again, then waits for a line on standard input
// before cleaning up twice. Reports each step on standard output, one line
// each, and nothing else:
//   initialise <result>
//   jack_no_start_server <value of JACK_NO_START_SERVER, or "unset">
//   send <result>            (only when started)
//   again <result>           (only when started)
//   cleaned up
// Usage: sonvex_probe <path of libsonvex.so>
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stdout, "usage: sonvex_probe <library>\n");
        return 2;
    }
    void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        std::fprintf(stdout, "cannot load %s\n", argv[1]);
        return 2;
    }
    auto initialise = reinterpret_cast<int (*)()>(dlsym(library, "Sonvex_Initialise_SME"));
    auto send = reinterpret_cast<int (*)(int, int, int, int)>(dlsym(library, "Sonvex_SendMidiEvent"));
    auto cleanup = reinterpret_cast<void (*)()>(dlsym(library, "Sonvex_CleanUp_SME"));
    if (initialise == nullptr || send == nullptr || cleanup == nullptr) {
        std::fprintf(stdout, "missing export\n");
        return 2;
    }

    int started = initialise();
    std::fprintf(stdout, "initialise %d\n", started);
    const char* no_start = std::getenv("JACK_NO_START_SERVER");
    std::fprintf(stdout, "jack_no_start_server %s\n", no_start != nullptr ? no_start : "unset");
    if (started != 0) {
        std::fprintf(stdout, "send %d\n", send(0x90, 25, 69, 100));
        std::fprintf(stdout, "again %d\n", initialise());
    }
    std::fflush(stdout);

    std::string line;
    std::getline(std::cin, line);  // the test looks at the audio output meanwhile

    if (started != 0)
        send(0x80, 25, 69, 0);
    cleanup();
    cleanup();
    std::fprintf(stdout, "cleaned up\n");
    // The library stays loaded, as it does in the program, which ends with
    // the bridge loaded: the synthesizer's OpenMP worker threads outlive
    // any clean-up and must not lose their code.
    (void)library;
    return 0;
}
