// Fuzz target over Scala file bytes: the reader either refuses the file and
// keeps nothing of it, or gives a scale text that installs exactly one entry
// per pitch used, every one a pitch (above 0, not NaN), and a description
// that cannot steer the terminal.
#include "tests/fuzz/fuzz_targets.h"

#include "app/reset.h"
#include "platform/fake/fake_platform.h"
#include "tuning/scala_file.h"
#include "tuning/scale.h"

#include <cmath>
#include <cstring>

int fuzz_scala_file(const uint8_t* data, size_t size)
{
    program_reset();
    fake_reset();
    ScalaStatus status = parse_scala_text(reinterpret_cast<const char*>(data), size);
    const ScalaFile& file = scala_file();
    FUZZ_CHECK(file.status == status);
    if (status != SCALA_OK) {
        FUZZ_CHECK(file.scale_text[0] == '\0' && file.pitches_used == 0 && file.line >= 1);
        return 0;
    }
    FUZZ_CHECK(file.pitch_count >= 1 && file.pitches_used >= 1 && file.pitches_used <= SCALA_MAX_PITCHES);
    FUZZ_CHECK(file.pitches_used == (file.pitch_count < SCALA_MAX_PITCHES ? file.pitch_count : SCALA_MAX_PITCHES));
    FUZZ_CHECK(std::strlen(file.scale_text) < static_cast<size_t>(SCALA_TEXT_SIZE));
    for (const char* c = file.description; *c != '\0'; ++c)
        FUZZ_CHECK(static_cast<unsigned char>(*c) >= 32 && *c != 127);
    set_scale(file.scale_text);
    FUZZ_CHECK(scale_size() == file.pitches_used + 1);
    for (int i = 1; i < scale_size(); ++i)
        FUZZ_CHECK(scale_table().entries[i] > 0.0);  // false for NaN too
    return 0;
}
