#pragma once
// Runs the updates of a batch on worker threads: at most `jobs` modules at once;
// the modules of one chain (the modules behind one router, then the router) one
// at a time and in order; the canaries first, the rest only when every canary
// took its build; and no new start once the failures reach the limit or a stop
// was asked. Modules in flight always end by themselves; those never started are
// skipped, with the reason.
//
// The runner knows nothing of modules: the caller's work does the update and
// sets the outcome's result (updated, failed or interrupted) and message; the
// runner times it and keeps the count.
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "app/BatchOutcome.h"

struct BatchLimits {
    uint32_t jobs = 8;            // modules at once
    uint32_t canary = 0;          // modules updated before the rest
    uint32_t max_failed = 0;      // failures that stop new starts (0: no limit)
    uint32_t max_failed_pct = 0;  // the same as a share of the modules to run (0: no limit)
};

// One module to run: its place among the outcomes and its chain.
struct BatchItem {
    size_t index = 0;
    uint32_t chain = 0;
};

class BatchRunner {
public:
    // Runs one module on a worker thread; canary: it is one of the canaries.
    using Work = std::function<void(size_t index, bool canary, ModuleOutcome& outcome)>;

    BatchRunner(const BatchLimits& limits, Work work);

    // Runs the items (in plan order) and fills their outcomes; the others are
    // left as they are. While it waits it calls tick every tickMs (0: never).
    void Run(const std::vector<BatchItem>& items, std::vector<ModuleOutcome>& outcomes, unsigned tickMs = 0,
             const std::function<void()>& tick = {});

    // From any thread: no module starts from now on.
    void Stop();
    bool Stopping() const;

private:
    using Chain = std::vector<BatchItem>;
    void _run_phase(const std::vector<BatchItem>& items, bool canary, std::vector<ModuleOutcome>& outcomes,
                    unsigned tickMs, const std::function<void()>& tick);
    void _run_chain(const Chain& chain, bool canary, std::vector<ModuleOutcome>& outcomes);
    // Under the lock: why no module may start now; empty when one may.
    std::string _closed_reason() const;

    const BatchLimits limits_;
    const Work work_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool stopping_ = false;
    std::string gate_;  // set when a gate closed for good (the canaries failed)
    size_t failed_ = 0;
    size_t total_ = 0;  // the modules this run was given
    unsigned running_ = 0;
};
