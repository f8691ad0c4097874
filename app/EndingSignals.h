#pragma once
// SIGINT, SIGTERM and SIGHUP while a command that leaves a record runs: the
// signal still ends the process as it always did, but first a callback runs on
// a thread of its own, so that the record of the command in progress is
// written ("interrupted").
//
// Construct it on the thread that runs the command, before that command starts
// threads of its own: the signals are blocked there and in every thread
// started afterwards, and taken by the watcher alone. The destructor unblocks
// them again; a signal that came meanwhile has ended the process.
#include <signal.h>

#include <functional>
#include <mutex>
#include <thread>

class EndingSignals {
public:
    explicit EndingSignals(std::function<void(int signal)> beforeEnd);
    ~EndingSignals();
    EndingSignals(const EndingSignals&) = delete;
    EndingSignals& operator=(const EndingSignals&) = delete;

    // The command closes its record itself: from now on a signal waits until
    // the returned lock is released and then ends the process without the
    // callback, so that the record is written once, whole.
    std::unique_lock<std::mutex> Close();

private:
    void _watch();
    [[noreturn]] static void _end_by(int signal);

    std::function<void(int signal)> beforeEnd_;
    std::mutex closing_;
    bool closed_ = false;
    sigset_t previous_{};
    std::thread watcher_;
};
