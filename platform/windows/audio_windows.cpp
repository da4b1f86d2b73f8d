// Audio capture on Windows: none in this build (the libraries the Linux
// build captures through have no Windows build in the cross toolchain), so
// there is no source to list or open.
#include "platform/platform.h"

int platform_audio_source_count() { return 0; }

bool platform_audio_source_name(int, char* buffer, int length, PlatformAudioKind*)
{
    if (length >= 1)
        buffer[0] = '\0';
    return false;
}

int platform_audio_open(const char*, double*) { return PLATFORM_AUDIO_UNSUPPORTED; }

size_t platform_audio_take(float*, size_t) { return 0; }

uint64_t platform_audio_position() { return 0; }

void platform_audio_close() {}
