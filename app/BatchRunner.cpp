#include "app/BatchRunner.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// The items grouped by chain, each chain in plan order; the longest chains
// first (they bound the run), otherwise in plan order.
std::vector<std::vector<BatchItem>> _chains(const std::vector<BatchItem>& items)
{
    std::vector<std::vector<BatchItem>> chains;
    std::map<uint32_t, size_t> where;
    for (const BatchItem& item : items) {
        auto [at, added] = where.emplace(item.chain, chains.size());
        if (added)
            chains.emplace_back();
        chains[at->second].push_back(item);
    }
    std::stable_sort(chains.begin(), chains.end(), [](const auto& a, const auto& b) { return a.size() > b.size(); });
    return chains;
}

void _skip(ModuleOutcome& outcome, const std::string& reason)
{
    outcome.result = BatchResult::Skipped;
    outcome.message = "not started: " + reason;
    outcome.seconds = 0;
}

}  // namespace

BatchRunner::BatchRunner(const BatchLimits& limits, Work work) : limits_(limits), work_(std::move(work)) {}

void BatchRunner::Stop()
{
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    changed_.notify_all();
}

bool BatchRunner::Stopping() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return stopping_;
}

std::string BatchRunner::_closed_reason() const
{
    if (stopping_)
        return "stopped";
    if (!gate_.empty())
        return gate_;
    const bool byCount = limits_.max_failed != 0 && failed_ >= limits_.max_failed;
    const bool byShare = limits_.max_failed_pct != 0 && failed_ * 100 >= size_t(limits_.max_failed_pct) * total_;
    if (!byCount && !byShare)
        return "";
    const std::string limit =
        byCount ? std::to_string(limits_.max_failed) : std::to_string(limits_.max_failed_pct) + "%";
    return std::to_string(failed_) + (failed_ == 1 ? " module" : " modules") + " failed (--max-failed " + limit + ")";
}

void BatchRunner::Run(const std::vector<BatchItem>& items, std::vector<ModuleOutcome>& outcomes, unsigned tickMs,
                      const std::function<void()>& tick)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        total_ = items.size();
    }
    const size_t canaries = std::min<size_t>(limits_.canary, items.size());
    const std::vector<BatchItem> first(items.begin(), items.begin() + long(canaries));
    const std::vector<BatchItem> rest(items.begin() + long(canaries), items.end());
    if (!first.empty()) {
        _run_phase(first, true, outcomes, tickMs, tick);
        std::lock_guard<std::mutex> lock(mutex_);
        for (const BatchItem& item : first)
            if (outcomes[item.index].result != BatchResult::Updated && gate_.empty())
                gate_ = "a canary module was not updated";
    }
    _run_phase(rest, false, outcomes, tickMs, tick);
}

void BatchRunner::_run_phase(const std::vector<BatchItem>& items, bool canary, std::vector<ModuleOutcome>& outcomes,
                             unsigned tickMs, const std::function<void()>& tick)
{
    const auto chains = _chains(items);
    std::vector<std::thread> workers;
    size_t next = 0;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        while (next < chains.size() && running_ < limits_.jobs && _closed_reason().empty()) {
            ++running_;
            const auto* chain = &chains[next++];
            workers.emplace_back([this, chain, canary, &outcomes] { _run_chain(*chain, canary, outcomes); });
        }
        if (running_ == 0)
            break;
        if (tickMs == 0 || !tick) {
            changed_.wait(lock);
            continue;
        }
        changed_.wait_for(lock, std::chrono::milliseconds(tickMs));
        lock.unlock();
        tick();
        lock.lock();
    }
    const std::string reason = _closed_reason();
    lock.unlock();
    for (std::thread& worker : workers)
        worker.join();
    for (; next < chains.size(); ++next)
        for (const BatchItem& item : chains[next])
            _skip(outcomes[item.index], reason);
}

void BatchRunner::_run_chain(const Chain& chain, bool canary, std::vector<ModuleOutcome>& outcomes)
{
    for (size_t i = 0; i < chain.size(); ++i) {
        ModuleOutcome& outcome = outcomes[chain[i].index];
        // The chain's first module was let start when the chain was.
        std::string reason;
        if (i > 0) {
            std::lock_guard<std::mutex> lock(mutex_);
            reason = _closed_reason();
        }
        if (!reason.empty()) {
            for (size_t j = i; j < chain.size(); ++j)
                _skip(outcomes[chain[j].index], reason);
            break;
        }
        const auto start = Clock::now();
        work_(chain[i].index, canary, outcome);
        outcome.seconds = std::chrono::duration<double>(Clock::now() - start).count();
        std::lock_guard<std::mutex> lock(mutex_);
        failed_ += outcome.result == BatchResult::Failed;
        changed_.notify_all();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    --running_;
    changed_.notify_all();
}
