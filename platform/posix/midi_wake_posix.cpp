// The MIDI input wake-up on POSIX systems: a non-blocking self-pipe. The
// threads that deliver MIDI input (a JACK process cycle, RtMidi's reader)
// queue what came and write one byte; the console's wait for a key watches
// the read end, and the main thread empties the pipe before it looks at the
// queues, so that no wake-up is lost between the two.
#include "platform/posix/wake_posix.h"

#include <fcntl.h>
#include <unistd.h>

namespace {

struct MidiWakeState {
    int pipe_read;   // the pipe's ends (non-blocking, close-on-exec); -1 until opened
    int pipe_write;
} wake = {-1, -1};

}  // namespace

bool posix_midi_wake_open()
{
    if (wake.pipe_read >= 0)
        return true;
    int ends[2];
    if (pipe(ends) != 0)
        return false;
    for (int fd : ends) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    wake.pipe_read = ends[0];
    wake.pipe_write = ends[1];
    return true;
}

int posix_midi_wake_fd() { return wake.pipe_read; }

void posix_midi_wake()
{
    if (wake.pipe_write < 0)
        return;
    char byte = 1;
    ssize_t ignored = write(wake.pipe_write, &byte, 1);
    (void)ignored;  // a full pipe is already readable
}

void posix_midi_wake_drain()
{
    char bytes[256];
    while (wake.pipe_read >= 0 && read(wake.pipe_read, bytes, sizeof bytes) > 0) {
    }
}
