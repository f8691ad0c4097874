#include "app/Appearances.h"

Appearances::Changes Appearances::Scan(const std::set<uint32_t>& present, Clock::time_point now)
{
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
        module.missed = here ? 0 : module.missed + 1;
        if (module.missed >= misses_) {
            changes.left.push_back(it->first);
            it = modules_.erase(it);
        } else {
            ++it;
        }
    }
    for (uint32_t serial : present)
        if (modules_.count(serial) == 0) {
            changes.appeared.push_back(serial);
            modules_[serial] = Module{};
        }
    return changes;
}

bool Appearances::Sighted(uint32_t serial)
{
    if (modules_.count(serial) != 0)
        return false;
    Started(serial);
    return true;
}

void Appearances::Started(uint32_t serial)
{
    modules_[serial] = Module{State::InFlight};
}

void Appearances::Ended(uint32_t serial, bool restarting, Clock::time_point now)
{
    Module module;
    if (restarting) {
        module.state = State::Restarting;
        module.deadline = now + restartLimit_;
    }
    modules_[serial] = module;
}

bool Appearances::InFlight(uint32_t serial) const
{
    auto it = modules_.find(serial);
    return it != modules_.end() && it->second.state == State::InFlight;
}
