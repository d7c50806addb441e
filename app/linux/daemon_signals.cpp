#include "app/linux/daemon_signals.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <initializer_list>

namespace {

int StopPipe[2] = {-1, -1};
int ReloadPipe[2] = {-1, -1};

void OnSignal(int number)
{
    const int savedErrno = errno;
    const char byte = 0;
    // A full pipe is a request already pending; nothing is lost.
    ssize_t ignored = write(number == SIGHUP ? ReloadPipe[1] : StopPipe[1], &byte, 1);
    (void)ignored;
    errno = savedErrno;
}

bool MakePipe(int ends[2])
{
    if (pipe(ends) != 0)
        return false;
    for (int i = 0; i < 2; ++i)
        if (fcntl(ends[i], F_SETFL, O_NONBLOCK) != 0 || fcntl(ends[i], F_SETFD, FD_CLOEXEC) != 0)
            return false;
    return true;
}

}  // namespace

bool InstallDaemonSignals()
{
    if (!MakePipe(StopPipe) || !MakePipe(ReloadPipe))
        return false;
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    // Interrupted socket and CUPS calls resume; the waits watch the pipes.
    action.sa_flags = SA_RESTART;
    for (int number : {SIGTERM, SIGINT, SIGHUP})
        if (sigaction(number, &action, nullptr) != 0)
            return false;
    // A scheduler or server that went away must end a write with an error,
    // not end the daemon.
    signal(SIGPIPE, SIG_IGN);
    return true;
}

int StopDescriptor()
{
    return StopPipe[0];
}

Wake WaitUntil(SteadyClock::time_point deadline)
{
    for (;;) {
        pollfd entries[2] = {{StopPipe[0], POLLIN, 0}, {ReloadPipe[0], POLLIN, 0}};
        const int ready = poll(entries, 2, WaitMilliseconds(deadline));
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return Wake::Stop;  // cannot wait at all: better to end than to spin
        }
        if (entries[0].revents != 0)
            return Wake::Stop;
        if (entries[1].revents != 0) {
            char bytes[64];
            while (read(ReloadPipe[0], bytes, sizeof bytes) > 0) {
            }
            return Wake::Reload;
        }
        if (SteadyClock::now() >= deadline)
            return Wake::Due;
    }
}
