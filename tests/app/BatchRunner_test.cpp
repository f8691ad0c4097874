// The batch runner's rules, with work that only pretends to update: how many
// modules run at once, the order within a chain, the canaries, the failure limit
// and a stop.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "app/BatchRunner.h"

namespace {

using R = BatchResult;

struct Case {
    const char* name;
    BatchLimits limits;
    std::vector<uint32_t> chains;  // per module, in plan order
    std::set<size_t> failing;      // modules whose work fails
    int stopAfter;                 // the module whose work asks for a stop (-1: none)
    std::vector<R> results;
    unsigned mostAtOnce;  // the most modules that may run at once
};

const std::vector<Case> CASES = {
    {"at most --jobs at once",
     {2, 0, 0, 0},
     {1, 2, 3, 4, 5},
     {},
     -1,
     {R::Updated, R::Updated, R::Updated, R::Updated, R::Updated},
     2},
    {"a chain runs one at a time, in order, beside the others",
     {8, 0, 0, 0},
     {9, 9, 9, 1, 2},
     {},
     -1,
     {R::Updated, R::Updated, R::Updated, R::Updated, R::Updated},
     3},
    {"a failure in a chain does not stop the chain",
     {8, 0, 0, 0},
     {9, 9, 9},
     {0},
     -1,
     {R::Failed, R::Updated, R::Updated},
     1},
    {"the failure limit stops new starts",
     {1, 0, 1, 0},
     {1, 2, 3, 4},
     {1},
     -1,
     {R::Updated, R::Failed, R::Skipped, R::Skipped},
     1},
    {"the limit as a share of the modules",
     {1, 0, 0, 50},
     {1, 2, 3, 4},
     {0, 1},
     -1,
     {R::Failed, R::Failed, R::Skipped, R::Skipped},
     1},
    {"a failed canary leaves the rest untouched",
     {8, 2, 0, 0},
     {1, 2, 3, 4},
     {1},
     -1,
     {R::Updated, R::Failed, R::Skipped, R::Skipped},
     2},
    {"good canaries let the rest go on",
     {8, 2, 0, 0},
     {1, 2, 3, 4},
     {},
     -1,
     {R::Updated, R::Updated, R::Updated, R::Updated},
     2},
    {"a stop lets the modules in flight end and starts no other",
     {2, 0, 0, 0},
     {1, 2, 3, 4, 5},
     {},
     0,
     {R::Updated, R::Updated, R::Skipped, R::Skipped, R::Skipped},
     2},
};

}  // namespace

TEST(BatchRunner, KeepsItsLimitsOrderAndGates)
{
    for (const Case& c : CASES) {
        SCOPED_TRACE(c.name);
        std::mutex mutex;
        unsigned running = 0, mostAtOnce = 0;
        std::map<uint32_t, int> inChain;  // modules of each chain running now
        std::vector<size_t> started;
        std::vector<bool> canaries(c.chains.size(), false);
        BatchRunner* self = nullptr;
        BatchRunner runner(c.limits, [&](size_t index, bool canary, ModuleOutcome& outcome) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                mostAtOnce = std::max(mostAtOnce, ++running);
                EXPECT_EQ(++inChain[c.chains[index]], 1) << "two modules of one chain at once";
                started.push_back(index);
                canaries[index] = canary;
            }
            if (int(index) == c.stopAfter)
                self->Stop();
            usleep(20000);
            outcome.result = c.failing.count(index) ? R::Failed : R::Updated;
            std::lock_guard<std::mutex> lock(mutex);
            --running;
            --inChain[c.chains[index]];
        });
        self = &runner;

        std::vector<ModuleOutcome> outcomes(c.chains.size());
        std::vector<BatchItem> items;
        for (size_t i = 0; i < c.chains.size(); ++i)
            items.push_back({i, c.chains[i]});
        runner.Run(items, outcomes);

        EXPECT_EQ(mostAtOnce, c.mostAtOnce);
        for (size_t i = 0; i < outcomes.size(); ++i) {
            EXPECT_EQ(outcomes[i].result, c.results[i]) << "module " << i;
            EXPECT_EQ(outcomes[i].result == R::Skipped, outcomes[i].message.rfind("not started: ", 0) == 0);
            EXPECT_EQ(canaries[i], i < c.limits.canary && outcomes[i].result != R::Skipped) << "module " << i;
        }
        // Within a chain, plan order; the canaries before every other module.
        for (size_t a = 0; a < started.size(); ++a)
            for (size_t b = a + 1; b < started.size(); ++b) {
                if (c.chains[started[a]] == c.chains[started[b]]) {
                    EXPECT_LT(started[a], started[b]);
                }
                EXPECT_FALSE(canaries[started[b]] && !canaries[started[a]]);
            }
    }
}
