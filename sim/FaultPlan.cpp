#include "sim/FaultPlan.h"

namespace Sim {

void FaultPlan::Add(const Fault& fault)
{
    _entries.push_back(Entry{fault});
}

void FaultPlan::Clear()
{
    _entries.clear();
}

const Fault* FaultPlan::_take(Entry& e)
{
    if (e.Exhausted())
        return nullptr;
    if (++e.seen <= e.fault.skip)
        return nullptr;
    ++e.fired;
    ++_fired;
    return &e.fault;
}

const Fault* FaultPlan::Fire(FaultKind kind, UpgradeStep step)
{
    for (Entry& e : _entries) {
        if (e.fault.kind != kind)
            continue;
        bool stepped = kind == FaultKind::DropAtStep || kind == FaultKind::ErrorStatus ||
                       (kind == FaultKind::Silent && !e.fault.anyStep);
        if (stepped && e.fault.step != step)
            continue;
        if (const Fault* f = _take(e))
            return f;
    }
    return nullptr;
}

const Fault* FaultPlan::Fire(FaultKind kind)
{
    for (Entry& e : _entries) {
        if (e.fault.kind != kind)
            continue;
        if (kind == FaultKind::Silent && !e.fault.anyStep)
            continue;
        if (const Fault* f = _take(e))
            return f;
    }
    return nullptr;
}

const Fault* FaultPlan::FireByteCount(uint64_t bytes, bool& reached)
{
    reached = false;
    for (Entry& e : _entries) {
        if (e.fault.kind != FaultKind::DropAfterBytes || e.Exhausted() || bytes < e.fault.bytes)
            continue;
        reached = true;
        if (const Fault* f = _take(e))
            return f;
    }
    return nullptr;
}

}  // namespace Sim
