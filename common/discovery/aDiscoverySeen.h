#pragma once
// The specs one enumeration has already passed to its callback: a module heard
// twice (several replies, repeated beacons) is reported once.
#include <vector>

#include "common/aLinkSpec.h"

class aDiscoverySeen {
public:
    // True, and remembered, when no spec with the same serial number, IPv4
    // address, port and type was seen before.
    bool isNew(const linkSpec& spec)
    {
        for (const linkSpec& seen : seen_)
            if (seen.serialNumber == spec.serialNumber && seen.ipAddress == spec.ipAddress &&
                seen.ipPort == spec.ipPort && seen.type == spec.type)
                return false;
        seen_.push_back(spec);
        return true;
    }

private:
    std::vector<linkSpec> seen_;
};
