// The fuzz targets' seed corpora, and every input that once made a target
// fail, replayed through the same checks on every test run (a failed check
// aborts, naming itself).
#include "tests/fuzz/fuzz_targets.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

struct Target {
    const char* name;
    int (*run)(const uint8_t*, size_t);
};

const Target kTargets[] = {
    {"scale_text", fuzz_scale_text},   {"numbers", fuzz_numbers}, {"voice_lookup", fuzz_voice_lookup},
    {"console_bytes", fuzz_console_bytes}, {"program", fuzz_program}, {"scala_file", fuzz_scala_file},
};

}  // namespace

int fuzz_replay_corpus(const char* name, int (*run)(const uint8_t*, size_t))
{
    int inputs = 0;
    for (const char* folder : {"corpus", "regressions"}) {
        std::filesystem::path dir = std::filesystem::path(VARENTA_FUZZ_DIR) / folder / name;
        if (!std::filesystem::is_directory(dir))
            continue;
        for (const auto& entry : std::filesystem::directory_iterator(dir)) {
            std::ifstream file(entry.path(), std::ios::binary);
            std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
            SCOPED_TRACE(entry.path().string());
            run(bytes.data(), bytes.size());
            ++inputs;
        }
    }
    return inputs;
}

TEST(FuzzCorpora, EveryTargetReplaysItsSeedsAndRegressions)
{
    for (const Target& target : kTargets) {
        SCOPED_TRACE(target.name);
        EXPECT_GT(fuzz_replay_corpus(target.name, target.run), 0);
    }
}
