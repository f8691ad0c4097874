#pragma once
// SIGINT and SIGTERM while a batch runs: instead of ending the process, each
// one is handed to a callback on a thread of its own (with the count so far),
// so that the batch can stop starting modules and end those in flight cleanly.
//
// Construct it on the thread that starts the batch, before any worker thread:
// the signals are blocked there and in every thread started afterwards. The
// destructor unblocks them again; a signal that came meanwhile was handled.
#include <signal.h>

#include <functional>
#include <thread>

class StopSignals {
public:
    explicit StopSignals(std::function<void(int count)> onSignal);
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

private:
    void _watch();

    std::function<void(int count)> onSignal_;
    sigset_t previous_{};
    std::thread watcher_;
};
