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
#include <utility>
#include <vector>

class Appearances {
public:
    using Clock = std::chrono::steady_clock;

    // misses: for each source that scans (a bus, a discovery), the scans in a
    // row a module must be missing from for that source to have lost it (1 for
    // USB's hot-plug, more where a discovery reply may be lost). A module has
    // left when no source sees it any more. restartLimit: how long an updated
    // module may take to come back.
    Appearances(std::vector<unsigned> misses, Clock::duration restartLimit)
        : misses_(std::move(misses)), restartLimit_(restartLimit)
    {
    }

    struct Changes {
        std::vector<uint32_t> appeared;  // to look at now (then Started or Looked)
        std::vector<uint32_t> left;
    };
    // What one source (an index into misses) sees now.
    Changes Scan(size_t source, const std::set<uint32_t>& present, Clock::time_point now);
    // A module a source sees before its scan ends: true when it appeared (it
    // is then in flight at once, as after Started).
    bool Sighted(size_t source, uint32_t serial);

    // The station looked at an appeared module and left it alone (current,
    // nothing to give it).
    void Looked(uint32_t serial) { _settle(serial, State::Seen); }
    void Started(uint32_t serial) { _settle(serial, State::InFlight); }
    // The update ended; restarting: the module restarts now and may be away for a while.
    void Ended(uint32_t serial, bool restarting, Clock::time_point now);
    bool InFlight(uint32_t serial) const;

private:
    enum class State { Seen, InFlight, Restarting };
    struct Module {
        State state = State::Seen;
        uint32_t holders = 0;          // one bit per source that sees it
        std::vector<unsigned> missed;  // per source, scans in a row without it
        bool wentAway = false;         // restarting: it has been missing since the update
        Clock::time_point deadline{};
    };

    Module& _settle(uint32_t serial, State state);

    const std::vector<unsigned> misses_;
    const Clock::duration restartLimit_;
    std::map<uint32_t, Module> modules_;
};
