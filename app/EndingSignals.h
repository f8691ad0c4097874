#pragma once
// SIGINT, SIGTERM and SIGHUP while a command that leaves records runs. Each
// signal is handed to a callback on a thread of its own, with the number of
// signals so far; the callback says what follows:
// - End: the process ends by the signal as it always did (the shell sees 130
//   for SIGINT, 143 for SIGTERM), once the callback has written the record of
//   the command in progress ("interrupted");
// - GoOn: the process goes on, so that a batch can stop starting modules and
//   let those in flight end cleanly.
//
// Construct it on the thread that runs the command, before that command starts
// threads of its own: the signals are blocked there and in every thread
// started afterwards, and taken by the watcher alone. The destructor unblocks
// them again; a signal that came meanwhile has been handled.
#include <signal.h>

#include <functional>
#include <mutex>
#include <thread>

class EndingSignals {
public:
    enum class Then { End, GoOn };
    explicit EndingSignals(std::function<Then(int signal, int count)> onSignal);
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

    std::function<Then(int signal, int count)> onSignal_;
    std::mutex closing_;
    bool closed_ = false;
    sigset_t previous_{};
    std::thread watcher_;
};
