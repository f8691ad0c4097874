// The planning rule of "-U --all": which module is updated, which is left alone
// and why, and the order chains run in.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/UpdatePlan.h"

namespace {

constexpr uint32_t ROUTER = 0x0A0A0A0A;

// A module reached directly (router 0) or behind ROUTER at a bus address.
PlanCandidate Module(uint32_t serial, uint32_t running, uint32_t image, uint16_t busAddress = 0)
{
    PlanCandidate candidate;
    candidate.device.spec.type = TCPIP;
    candidate.device.spec.serialNumber = serial;
    candidate.device.spec.ipAddress = 0x010200C0;  // 192.0.2.1
    candidate.device.spec.ipPort = 9000;
    candidate.device.build_number = running;
    candidate.device.model_name = "HubC4";
    if (busAddress != 0) {
        candidate.device.network_address = busAddress;
        candidate.device.spec.routerSerialNumber = ROUTER;
    }
    candidate.image.build = image;
    candidate.image.source = "store";
    return candidate;
}

PlanCandidate Misfit(PlanCandidate candidate)
{
    candidate.image.fits = false;
    candidate.image.misfit = "the image is not for model HubC4";
    return candidate;
}

PlanCandidate Unqueried(PlanCandidate candidate)
{
    candidate.device.error = aErrConnection;
    return candidate;
}

struct Planned {
    uint32_t serial;
    PlanAction action;
    uint32_t chain;
};

struct Case {
    const char* name;
    std::vector<PlanCandidate> found;
    PlanRule rule;
    std::vector<Planned> plan;  // in plan order
};

const std::vector<Case> CASES = {
    {"behind and current, newest build",
     {Module(0x11, 1000, 1300), Module(0x12, 1300, 1300), Module(0x13, 1400, 1300)},
     {true, false},
     {{0x11, PlanAction::Update, 0x11}, {0x12, PlanAction::Current, 0x12}, {0x13, PlanAction::Current, 0x13}}},
    {"force updates the current ones too",
     {Module(0x11, 1300, 1300), Module(0x12, 1400, 1300)},
     {true, true},
     {{0x11, PlanAction::Update, 0x11}, {0x12, PlanAction::Update, 0x12}}},
    {"a chosen image goes to every module that does not run exactly it",
     {Module(0x11, 1400, 1300), Module(0x12, 1300, 1300)},
     {false, false},
     {{0x11, PlanAction::Update, 0x11}, {0x12, PlanAction::Current, 0x12}}},
    {"an image that does not fit, no build, a module that could not be queried",
     {Misfit(Module(0x11, 1000, 1300)), Module(0x12, 1000, 0), Unqueried(Module(0x13, 0, 1300))},
     {true, false},
     {{0x11, PlanAction::DoesNotFit, 0x11}, {0x12, PlanAction::NoImage, 0x12}, {0x13, PlanAction::Unreachable, 0x13}}},
    {"the modules behind a router come before the router, in one chain",
     {Module(0x11, 1000, 1300), Module(ROUTER, 1000, 1300), Module(0x12, 1000, 1300), Module(0x21, 1000, 1300, 4),
      Module(0x22, 1300, 1300, 6)},
     {true, false},
     {{0x11, PlanAction::Update, 0x11},
      {0x21, PlanAction::Update, ROUTER},
      {0x22, PlanAction::Current, ROUTER},
      {ROUTER, PlanAction::Update, ROUTER},
      {0x12, PlanAction::Update, 0x12}}},
    {"modules behind a router that is not listed keep their chain; a serial found twice is planned once",
     {Module(0x21, 1000, 1300, 4), Module(0x11, 1000, 1300), Module(0x22, 1000, 1300, 6), Module(0x11, 1000, 1300)},
     {true, false},
     {{0x21, PlanAction::Update, ROUTER}, {0x22, PlanAction::Update, ROUTER}, {0x11, PlanAction::Update, 0x11}}},
};

}  // namespace

TEST(UpdatePlan, EachModuleGetsItsActionInChainOrder)
{
    for (const Case& c : CASES) {
        SCOPED_TRACE(c.name);
        const std::vector<PlannedModule> plan = _plan_updates(c.found, c.rule);
        ASSERT_EQ(plan.size(), c.plan.size());
        size_t updates = 0;
        for (size_t i = 0; i < plan.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(plan[i].device.spec.serialNumber, c.plan[i].serial);
            EXPECT_EQ(plan[i].action, c.plan[i].action);
            EXPECT_EQ(plan[i].chain, c.plan[i].chain);
            EXPECT_EQ(plan[i].reason.empty(), plan[i].action == PlanAction::Update);
            updates += c.plan[i].action == PlanAction::Update;
        }
        EXPECT_EQ(_planned_updates(plan), updates);
    }
}

TEST(UpdatePlan, RoutesNameTheTransportOrTheRouter)
{
    EXPECT_EQ(_route_text(Module(0x11, 0, 0).device), "TCPIP 192.0.2.1:9000");
    EXPECT_EQ(_route_text(Module(0x21, 0, 0, 4).device), "via 0A0A0A0A");
    PlanCandidate usb = Module(0x11, 0, 0);
    usb.device.spec.type = USB;
    EXPECT_EQ(_route_text(usb.device), "USB");
}
