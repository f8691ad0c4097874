#include "app/Appearances.h"

Appearances::Changes Appearances::Scan(size_t source, const std::set<uint32_t>& present, Clock::time_point now)
{
    const uint32_t bit = 1u << source;
    Changes changes;
    for (auto it = modules_.begin(); it != modules_.end();) {
        Module& module = it->second;
        const bool here = present.count(it->first) != 0;
        if (module.state == State::Restarting) {
            module.wentAway = module.wentAway || !here;
            // Back after its restart, or it never seemed to go: settled.
            if ((here && module.wentAway) || now >= module.deadline)
                module.state = State::Seen;
        }
        if (module.state != State::Seen) {
            ++it;
            continue;
        }
        unsigned& missed = module.missed[source];
        if (here) {
            module.holders |= bit;
            missed = 0;
        } else if ((module.holders & bit) && ++missed >= misses_[source]) {
            module.holders &= ~bit;
        }
        if (module.holders == 0) {
            changes.left.push_back(it->first);
            it = modules_.erase(it);
        } else {
            ++it;
        }
    }
    for (uint32_t serial : present)
        if (modules_.count(serial) == 0) {
            changes.appeared.push_back(serial);
            _settle(serial, State::Seen).holders = bit;
        }
    return changes;
}

bool Appearances::Sighted(size_t source, uint32_t serial)
{
    if (modules_.count(serial) != 0)
        return false;
    Started(serial);
    modules_[serial].holders = 1u << source;
    return true;
}

void Appearances::Ended(uint32_t serial, bool restarting, Clock::time_point now)
{
    Module& module = _settle(serial, restarting ? State::Restarting : State::Seen);
    module.deadline = now + restartLimit_;
}

bool Appearances::InFlight(uint32_t serial) const
{
    auto it = modules_.find(serial);
    return it != modules_.end() && it->second.state == State::InFlight;
}

// A new state from the station: the sources that see the module keep it, the
// count of misses starts again.
Appearances::Module& Appearances::_settle(uint32_t serial, State state)
{
    Module& module = modules_[serial];
    module.state = state;
    module.missed.assign(misses_.size(), 0);
    module.wentAway = false;
    return module;
}
