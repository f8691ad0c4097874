// Which appearances a station looks at: each once, again after leaving, never
// while in flight, and an updated module's restart is not a departure.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/Appearances.h"

namespace {

using namespace std::chrono_literals;
using Clock = Appearances::Clock;

// One step: what a scan finds (or what the station did), and the events the
// rule must give: "+A" appeared, "-A" left, for modules A, B.
struct Step {
    // "scan AB" (the first source), "serve AB" (the second), "sight A",
    // "start A", "looked A", "end A", "restart A", "wait"
    std::string action;
    std::string events;
};

struct StoryCase {
    std::string name;
    std::vector<unsigned> misses;  // per source
    std::vector<Step> steps;
};

void PrintTo(const StoryCase& story, std::ostream* out)
{
    *out << story.name;
}

class AppearancesStory : public ::testing::TestWithParam<StoryCase> {};

TEST_P(AppearancesStory, GivesTheEvents)
{
    Appearances appearances(GetParam().misses, 30s);
    Clock::time_point now{};
    for (const Step& step : GetParam().steps) {
        const std::string verb = step.action.substr(0, step.action.find(' '));
        const std::string modules = step.action.substr(verb.size() + (verb.size() < step.action.size() ? 1 : 0));
        std::string events;
        if (verb == "scan" || verb == "serve") {
            std::set<uint32_t> present;
            for (char module : modules)
                present.insert(uint32_t(module));
            const Appearances::Changes changes = appearances.Scan(verb == "scan" ? 0 : 1, present, now);
            for (uint32_t serial : changes.appeared)
                events += std::string("+") + char(serial);
            for (uint32_t serial : changes.left)
                events += std::string("-") + char(serial);
        } else if (verb == "sight") {
            if (appearances.Sighted(0, uint32_t(modules[0])))
                events = "+" + modules;
        } else if (verb == "start") {
            appearances.Started(uint32_t(modules[0]));
        } else if (verb == "looked") {
            appearances.Looked(uint32_t(modules[0]));
        } else if (verb == "end" || verb == "restart") {
            appearances.Ended(uint32_t(modules[0]), verb == "restart", now);
        } else if (verb == "wait") {
            now += 31s;
        }
        EXPECT_EQ(events, step.events) << "at " << step.action;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Station, AppearancesStory,
    ::testing::Values(
        StoryCase{"CurrentModuleOnceThenAgainAfterLeaving",
                  {1},
                  {{"scan A", "+A"}, {"looked A", ""}, {"scan A", ""}, {"scan", "-A"}, {"scan A", "+A"}}},
        StoryCase{
            "InFlightModuleIsNotJudged",
            {1},
            {{"scan AB", "+A+B"}, {"start A", ""}, {"scan B", ""}, {"scan", "-B"}, {"end A", ""}, {"scan", "-A"}}},
        StoryCase{"UpdatedModuleRestartsWithoutLeaving",
                  {1},
                  {{"scan A", "+A"},
                   {"start A", ""},
                   {"restart A", ""},
                   {"scan", ""},
                   {"scan A", ""},
                   {"scan A", ""},
                   {"scan", "-A"},
                   {"scan A", "+A"}}},
        StoryCase{"RestartThatNeverComesBackLeavesAfterTheLimit",
                  {1},
                  {{"scan A", "+A"}, {"start A", ""}, {"restart A", ""}, {"scan", ""}, {"wait", ""}, {"scan", "-A"}}},
        StoryCase{"RestartNotSeenSettlesAfterTheLimit",
                  {1},
                  {{"scan A", "+A"},
                   {"start A", ""},
                   {"restart A", ""},
                   {"scan A", ""},
                   {"wait", ""},
                   {"scan A", ""},
                   {"scan", "-A"}}},
        StoryCase{"FailedModuleAwayAfterItsAttemptLeaves",
                  {1},
                  {{"scan A", "+A"}, {"start A", ""}, {"end A", ""}, {"scan", "-A"}, {"scan A", "+A"}}},
        StoryCase{"SightedBeforeItsScanEndsAppearsOnce",
                  {1},
                  {{"sight A", "+A"}, {"sight A", ""}, {"scan A", ""}, {"end A", ""}, {"scan A", ""}, {"scan", "-A"}}},
        StoryCase{"LostDiscoveryReplyIsNoDeparture",
                  {2},
                  {{"scan A", "+A"}, {"looked A", ""}, {"scan", ""}, {"scan A", ""}, {"scan", ""}, {"scan", "-A"}}},
        // A module seen by two sources (on the bus and through its server)
        // stays while either sees it, each with its own tolerance.
        StoryCase{"ModuleLeavesWhenNoSourceSeesIt",
                  {1, 2},
                  {{"scan A", "+A"},
                   {"looked A", ""},
                   {"serve AB", "+B"},
                   {"scan", ""},
                   {"serve AB", ""},
                   {"serve", ""},
                   {"serve", "-A-B"},
                   {"scan A", "+A"}}}),
    [](const auto& info) { return info.param.name; });

}  // namespace
