// libFuzzer's entry point for one target, chosen when built
// (-DVARENTA_FUZZ_TARGET=fuzz_scale_text, ...).
#include "tests/fuzz/fuzz_targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { return VARENTA_FUZZ_TARGET(data, size); }
