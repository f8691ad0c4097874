#include "app/StopSignals.h"

#include <pthread.h>

namespace {

// The watcher is told to end by this signal, sent to it alone.
constexpr int END_WATCH = SIGUSR2;

sigset_t _watched()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, END_WATCH);
    return set;
}

}  // namespace

StopSignals::StopSignals(std::function<void(int count)> onSignal) : onSignal_(std::move(onSignal))
{
    const sigset_t set = _watched();
    pthread_sigmask(SIG_BLOCK, &set, &previous_);
    watcher_ = std::thread([this] { _watch(); });
}

StopSignals::~StopSignals()
{
    pthread_kill(watcher_.native_handle(), END_WATCH);
    watcher_.join();
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

void StopSignals::_watch()
{
    const sigset_t set = _watched();
    int count = 0;
    for (;;) {
        int signal = 0;
        if (sigwait(&set, &signal) != 0)
            continue;
        if (signal == END_WATCH)
            return;
        onSignal_(++count);
    }
}
