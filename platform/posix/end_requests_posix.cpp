// Requests to end on POSIX systems: SIGINT, SIGTERM, SIGHUP and SIGQUIT.
//
// The handler does only async-signal-safe work: it records the signal and
// writes one byte to a self-pipe, which every wait of the program watches.
// The main thread then ends every note and closes the device, and only then
// ends the process with the signal's own default action. A second signal
// while the first is pending ends the process at once.
#include "platform/platform.h"
#include "platform/posix/wake_posix.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

struct EndRequestState {
    volatile sig_atomic_t request;  // the signal that asked to end; 0 = none
    int pipe_read;                  // the self-pipe's ends (non-blocking); -1 until watched
    int pipe_write;
    bool watching;                  // the handlers are installed
} ending = {0, -1, -1, false};

const int kEndSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

[[noreturn]] void die_of(int signal_number)
{
    posix_restore_terminal();
    std::signal(signal_number, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal_number);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    raise(signal_number);
    _exit(128 + signal_number);  // a signal whose default action does not end the process
}

void on_end_signal(int signal_number)
{
    int saved_errno = errno;
    if (ending.request != 0)
        die_of(signal_number);  // asked again while ending: at once
    ending.request = signal_number;
    if (ending.pipe_write >= 0) {
        char byte = 1;
        ssize_t ignored = write(ending.pipe_write, &byte, 1);
        (void)ignored;  // a full pipe already wakes every wait
    }
    errno = saved_errno;
}

}  // namespace

void platform_watch_end_requests()
{
    if (ending.watching)
        return;
    ending.watching = true;
    int ends[2];
    if (pipe(ends) == 0) {
        for (int fd : ends) {
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
            fcntl(fd, F_SETFD, FD_CLOEXEC);
        }
        ending.pipe_read = ends[0];
        ending.pipe_write = ends[1];
    }
    struct sigaction action = {};
    action.sa_handler = on_end_signal;
    sigemptyset(&action.sa_mask);
    for (int s : kEndSignals)
        sigaddset(&action.sa_mask, s);  // one handler at a time
    action.sa_flags = 0;                 // no SA_RESTART: a blocked call returns EINTR
    for (int s : kEndSignals)
        sigaction(s, &action, nullptr);
    // A vanished reader (a closed pipe, a JACK server's socket) is a failed
    // write, not the end of the program.
    std::signal(SIGPIPE, SIG_IGN);
}

int platform_end_request() { return ending.request; }

void platform_end_by_request(int request) { die_of(request); }

int posix_wake_fd() { return ending.pipe_read; }

int posix_wait_readable(int fd, int timeout_ms)
{
    for (;;) {
        if (ending.request != 0)
            return -1;
        pollfd fds[2] = {{fd, POLLIN, 0}, {ending.pipe_read, POLLIN, 0}};
        int n = poll(fds, ending.pipe_read >= 0 ? 2 : 1, timeout_ms);
        if (n < 0 && errno == EINTR)
            continue;  // a handler ran: the loop looks at the request again
        if (ending.request != 0)
            return -1;
        if (n == 0)
            return 0;
        return 1;  // readable, at its end, or in error: the read tells which
    }
}
