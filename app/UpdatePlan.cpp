#include "app/UpdatePlan.h"

#include <arpa/inet.h>

#include <cstdio>
#include <map>
#include <set>

#include "app/Listings.h"
#include "unix/aError.h"

namespace {

bool _behind_router(const DeviceInfo& device)
{
    return device.network_address != 0;
}

uint32_t _chain_of(const DeviceInfo& device)
{
    return _behind_router(device) ? device.spec.routerSerialNumber : device.spec.serialNumber;
}

std::string _hex(uint32_t serial)
{
    char text[16];
    snprintf(text, sizeof text, "%08X", serial);
    return text;
}

// What the rule makes of one module, and why when it is left alone.
PlanAction _action(const PlanCandidate& candidate, const PlanRule& rule, std::string& reason)
{
    const DeviceInfo& device = candidate.device;
    const ImageChoice& image = candidate.image;
    if (device.error != aErrNone) {
        reason = std::string("could not be queried: ") + aError_GetErrorText(device.error);
        return PlanAction::Unreachable;
    }
    if (image.build == 0 && image.file.empty()) {
        reason = "no build for it";
        return PlanAction::NoImage;
    }
    if (!image.fits) {
        reason = image.misfit.empty() ? "the image is not for it" : image.misfit;
        return PlanAction::DoesNotFit;
    }
    // An image that names no build cannot be compared: it goes out.
    const bool current =
        image.build != 0 && (rule.newest ? device.build_number >= image.build : device.build_number == image.build);
    if (current && !rule.force) {
        reason = "runs build " + std::to_string(device.build_number);
        return PlanAction::Current;
    }
    return PlanAction::Update;
}

PlannedModule _planned(const PlanCandidate& candidate, const PlanRule& rule)
{
    PlannedModule planned;
    planned.device = candidate.device;
    planned.image = candidate.image;
    planned.action = _action(candidate, rule, planned.reason);
    planned.chain = _chain_of(candidate.device);
    planned.route = _route_text(candidate.device);
    return planned;
}

}  // namespace

std::string _route_text(const DeviceInfo& device)
{
    if (_behind_router(device))
        return "via " + _hex(device.spec.routerSerialNumber);
    if (device.spec.type == TCPIP) {
        char address[INET_ADDRSTRLEN] = "";
        in_addr ip{};
        ip.s_addr = device.spec.ipAddress;
        inet_ntop(AF_INET, &ip, address, sizeof address);
        return std::string("TCPIP ") + address + ":" + std::to_string(device.spec.ipPort);
    }
    return _link_type_name(device.spec.type);
}

std::vector<PlannedModule> _plan_updates(const std::vector<PlanCandidate>& candidates, const PlanRule& rule)
{
    // One entry per serial number, discovery's first.
    std::vector<const PlanCandidate*> unique;
    std::set<uint32_t> seen;
    for (const PlanCandidate& candidate : candidates)
        if (seen.insert(candidate.device.spec.serialNumber).second)
            unique.push_back(&candidate);

    // The modules behind each router, in discovery's order.
    std::map<uint32_t, std::vector<const PlanCandidate*>> behind;
    for (const PlanCandidate* candidate : unique)
        if (_behind_router(candidate->device))
            behind[candidate->device.spec.routerSerialNumber].push_back(candidate);

    std::vector<PlannedModule> plan;
    std::set<uint32_t> placed;  // routers whose modules are in the plan already
    auto placeBehind = [&](uint32_t router) {
        if (!placed.insert(router).second)
            return;
        for (const PlanCandidate* candidate : behind[router])
            plan.push_back(_planned(*candidate, rule));
    };
    for (const PlanCandidate* candidate : unique) {
        const DeviceInfo& device = candidate->device;
        if (_behind_router(device)) {
            placeBehind(device.spec.routerSerialNumber);  // a router that is not itself in the list
            continue;
        }
        placeBehind(device.spec.serialNumber);
        plan.push_back(_planned(*candidate, rule));
    }
    return plan;
}

size_t _planned_updates(const std::vector<PlannedModule>& plan)
{
    size_t count = 0;
    for (const PlannedModule& planned : plan)
        count += planned.action == PlanAction::Update;
    return count;
}
