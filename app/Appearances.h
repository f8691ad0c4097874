#pragma once
// Which modules a station has to look at: each appearance of a module is
// handled once. A module that was looked at and is still there is left alone;
// one that leaves and comes back is looked at again. A module in flight is not
// judged by what the scans see (its update restarts it), and after an update
// its restart is waited for before an absence counts as leaving.
//
// A pure rule over the serial numbers each scan finds, so that it can be tried
// on its own.
#include <chrono>
#include <cstdint>
#include <map>
#include <set>
#include <vector>

class Appearances {
public:
    using Clock = std::chrono::steady_clock;

    // misses: scans in a row a module must be missing from to count as gone
    // (1 for USB's hot-plug, more where a discovery reply may be lost);
    // restartLimit: how long an updated module may take to come back.
    Appearances(unsigned misses, Clock::duration restartLimit) : misses_(misses), restartLimit_(restartLimit) {}

    struct Changes {
        std::vector<uint32_t> appeared;  // to look at now (then Started or Looked)
        std::vector<uint32_t> left;
    };
    Changes Scan(const std::set<uint32_t>& present, Clock::time_point now);
    // A module seen before its scan ends: true when it appeared (it is then in
    // flight at once, as after Started).
    bool Sighted(uint32_t serial);

    // The station looked at an appeared module and left it alone (current,
    // nothing to give it).
    void Looked(uint32_t serial) { modules_[serial] = Module{}; }
    void Started(uint32_t serial);
    // The update ended; restarting: the module restarts now and may be away for a while.
    void Ended(uint32_t serial, bool restarting, Clock::time_point now);
    bool InFlight(uint32_t serial) const;

private:
    enum class State { Seen, InFlight, Restarting };
    struct Module {
        State state = State::Seen;
        unsigned missed = 0;
        bool wentAway = false;  // restarting: it has been missing since the update
        Clock::time_point deadline{};
    };

    const unsigned misses_;
    const Clock::duration restartLimit_;
    std::map<uint32_t, Module> modules_;
};
