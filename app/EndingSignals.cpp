#include "app/EndingSignals.h"

#include <pthread.h>
#include <unistd.h>

namespace {

// The watcher is told to end by this signal, sent to it alone.
constexpr int END_WATCH = SIGUSR2;
constexpr int ENDING[] = {SIGINT, SIGTERM, SIGHUP};

sigset_t _watched()
{
    sigset_t set;
    sigemptyset(&set);
    for (int signal : ENDING)
        sigaddset(&set, signal);
    sigaddset(&set, END_WATCH);
    return set;
}

}  // namespace

EndingSignals::EndingSignals(std::function<Then(int signal, int count)> onSignal) : onSignal_(std::move(onSignal))
{
    const sigset_t set = _watched();
    pthread_sigmask(SIG_BLOCK, &set, &previous_);
    watcher_ = std::thread([this] { _watch(); });
}

EndingSignals::~EndingSignals()
{
    pthread_kill(watcher_.native_handle(), END_WATCH);
    watcher_.join();
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

std::unique_lock<std::mutex> EndingSignals::Close()
{
    std::unique_lock<std::mutex> lock(closing_);
    closed_ = true;
    return lock;
}

void EndingSignals::_watch()
{
    const sigset_t set = _watched();
    int count = 0;
    for (;;) {
        int signal = 0;
        if (sigwait(&set, &signal) != 0)
            continue;
        if (signal == END_WATCH)
            return;
        // Held while the callback runs, and for good when the process ends: the
        // command cannot close its record after this one.
        closing_.lock();
        if (!closed_ && onSignal_(signal, ++count) == Then::GoOn) {
            closing_.unlock();
            continue;
        }
        _end_by(signal);
    }
}

// Ends the process by the signal, with its default action, as if this watcher
// had never been there: the shell sees 130 for SIGINT, 143 for SIGTERM.
void EndingSignals::_end_by(int signal)
{
    ::signal(signal, SIG_DFL);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, signal);
    pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
    raise(signal);
    _exit(128 + signal);
}
