#pragma once
// Which modules "-U --all" updates, with which image, and in which order. The
// rule is a pure function of what discovery found and of the image each module
// would get, so that it can be tried on its own.
//
// Modules behind one router share its I2C bus: they form one chain that runs
// one module at a time, and the router itself comes last in its chain, after
// every module behind it. A module reached directly is a chain of its own.
#include <cstdint>
#include <string>
#include <vector>

#include "app/Updater.h"

// The image a module would be given.
struct ImageChoice {
    uint32_t build = 0;   // 0: none known (an image file may still be given)
    std::string version;  // of its information block, or as the server names it
    std::string file;     // a given image file; empty: the store's "<build>.bird"
    std::string source;   // "store", "server" or "file"
    bool fits = true;     // model (and the serial number of an image made for one module) agree
    std::string misfit;   // why it does not fit
};

struct PlanCandidate {
    DeviceInfo device;
    ImageChoice image;
};

enum class PlanAction {
    Update,       // behind, or given an image it does not run yet (or --force)
    Current,      // runs the build it would be given
    NoImage,      // there is no build for it
    DoesNotFit,   // the image is not for it
    Unreachable,  // discovery could not query it
};

struct PlannedModule {
    DeviceInfo device;
    ImageChoice image;
    PlanAction action = PlanAction::Update;
    uint32_t chain = 0;  // the serial number of its router, or its own
    std::string route;   // "USB", "TCPIP 192.0.2.1:40123", "via 0A0A0A0A"
    std::string reason;  // why it is not updated
};

struct PlanRule {
    bool newest = true;  // the newest build: a module running it or a later one is current
    bool force = false;  // modules already current are updated too
};

// The modules in plan order: discovery's order, with the modules behind a router
// just before the router. A serial number found twice is planned once (the first).
std::vector<PlannedModule> _plan_updates(const std::vector<PlanCandidate>& candidates, const PlanRule& rule);

// How many of the planned modules are to be updated.
size_t _planned_updates(const std::vector<PlannedModule>& plan);

// "USB", "TCPIP 192.0.2.1:40123" or "via 0A0A0A0A" for a module as discovery found it.
std::string _route_text(const DeviceInfo& device);
