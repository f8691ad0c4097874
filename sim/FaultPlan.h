#pragma once
// The faults one module injects, each with its own count of occasions seen and
// times fired.
#include <cstdint>
#include <vector>

#include "sim/ModuleConfig.h"

namespace Sim {

class FaultPlan {
public:
    void Add(const Fault& fault);
    void Clear();
    // Takes one occasion for a fault of this kind at this step (a step-less
    // fault such as "silent" or "busy" matches every step); returns the fault
    // when it fires now, else null.
    const Fault* Fire(FaultKind kind, UpgradeStep step);
    const Fault* Fire(FaultKind kind);  // occasions that are not upgrade steps
    // Drop-after-bytes: `reached` tells whether a live fault's byte count was
    // reached (one occasion; the caller starts counting anew), the result
    // whether it fires.
    const Fault* FireByteCount(uint64_t bytes, bool& reached);
    uint64_t FiredCount() const { return _fired; }

private:
    struct Entry {
        Fault fault;
        int seen = 0;
        int fired = 0;
        bool Exhausted() const { return fault.times >= 0 && fired >= fault.times; }
    };
    const Fault* _take(Entry& e);
    std::vector<Entry> _entries;
    uint64_t _fired = 0;
};

}  // namespace Sim
