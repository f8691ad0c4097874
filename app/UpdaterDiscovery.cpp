// Discovery: which modules are there, and what firmware they run.
#include "app/UpdaterDiscovery.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/device/I2CClass.h"
#include "common/Log.h"
#include "common/device/SystemClass.h"
#include "app/aDefs.h"
#include "common/discovery/aDiscovery.h"
#include "common/aVersion.h"

using Kestrune::Tessarine::I2CClass;
using Kestrune::Tessarine::Module;
using Kestrune::Tessarine::PlexusConfig;
using Kestrune::Tessarine::SystemClass;

namespace {

// Every enumeration is given the loopback interface.
constexpr uint32_t kDiscoveryInterface = 0x0100007F;  // 127.0.0.1, network byte order
// Directly reached modules start at the lowest module address until they tell
// their own.
constexpr uint8_t kInitialModuleAddress = 2;
constexpr uint32_t kBuildReplyLength = 6;
constexpr uint8_t kBuildQuery = 0xFF;
constexpr size_t kDeviceNameMax = 32;
// Bus addresses probed behind a router: the even ones from 2 to 252.
constexpr unsigned kFirstBusAddress = 2;
constexpr unsigned kLastBusAddress = 252;
constexpr uint8_t kBusSpeed = 3;
// Modules queried at once when a discovery also scans every module's bus.
constexpr size_t kDiscoveryWorkers = 16;

bool _discovered_device(const linkSpec* spec, bool* found, void* ref)
{
    static_cast<std::vector<DeviceInfo>*>(ref)->emplace_back();
    static_cast<std::vector<DeviceInfo>*>(ref)->back().spec = *spec;
    *found = true;
    return true;
}

struct LinkSearch {
    uint32_t serial;
    linkType type;
};

bool _discovered_link(const linkSpec* spec, bool* found, void* ref)
{
    LinkSearch* search = static_cast<LinkSearch*>(ref);
    *found = true;
    if (spec->serialNumber != search->serial)
        return true;
    Log::log(DEBUG_Network, "NETWORK: Found device [%08X] via link type [%d]\n", spec->serialNumber, spec->type);
    search->type = spec->type;
    return false;
}

// One module reached directly: connect, read what it runs, disconnect.
void _query_device(DeviceInfo& info, UpdaterDisplayInterface& display)
{
    info.model_name = aDefs_GetModelName(info.spec.model);
    Module module(kInitialModuleAddress, true);
    if (_networking_for(module, info.spec, display) != aErrNone)
        return;
    info.error = module.connectFromSpec(info.spec);
    if (module.isConnected()) {
        info.build_number = _get_build_number(module);
        info.error = _get_version(module, info);
        if (info.error == aErrNone)
            info.error = _get_device_name(module, info);
    } else if (info.error == aErrNone) {
        info.error = aErrConnection;  // the link went away before anything was read
    }
    module.disconnect();
}

}  // namespace

namespace {

// Local only, never served by this program; on only for a client of a module
// server.
aErr _set_networking(Module& module, bool enabled, UpdaterDisplayInterface& display)
{
    PlexusConfig config;
    config.enabled = enabled;
    config.fallback = false;
    config.localOnly = 1;
    config.assignedPort = 0;
    config.networkInterface = kDiscoveryInterface;
    aErr result = module.setConfig(config);
    if (result != aErrNone)
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to SET network configuration");
    return result;
}

}  // namespace

aErr _disablePlexus(Module& module, UpdaterDisplayInterface& display)
{
    return _set_networking(module, false, display);
}

aErr _networking_for(Module& module, const linkSpec& spec, UpdaterDisplayInterface& display)
{
    return _set_networking(module, aLinkSpec_IsServed(spec.type), display);
}

uint32_t _get_build_number(Module& module)
{
    Kestrune::Tessarine::Link* link = module.getLink();
    if (!link)
        return 0;
    const uint8_t query[] = {kBuildQuery};
    if (link->sendPacket(module.getModuleAddress(), cmdMODULEINFO, sizeof query, query) != aErrNone)
        return 0;
    const uint8_t match[] = {cmdMODULEINFO, kBuildQuery};
    uint8_t length = sizeof match;
    uint8_t reply[aPACKET_MAXDATA];
    if (link->receivePacket(module.getModuleAddress(), match, &length, reply) != aErrNone ||
        length != kBuildReplyLength)
        return 0;
    return aUEI_RetrieveInt(reply + 2);
}

aErr _get_version(Module& module, DeviceInfo& info)
{
    SystemClass system;
    system.init(&module, 0);
    uint32_t packed = 0;
    aErr result = system.getVersion(&packed);
    if (result != aErrNone)
        return result;
    info.version_major = static_cast<uint8_t>(aVersion_ParseMajor(packed));
    info.version_minor = static_cast<uint8_t>(aVersion_ParseMinor(packed));
    info.version_patch = aVersion_ParsePatch(packed);
    uint8_t address = 0;
    if ((result = system.getModule(&address)) != aErrNone)
        return result;
    info.spec.module = address;
    if ((result = system.getRouter(&address)) != aErrNone)
        return result;
    info.spec.router = address;
    return aErrNone;
}

aErr _get_device_name(Module& module, DeviceInfo& info)
{
    if (!aVersion_IsAtLeastCompare(info.version_major, info.version_minor, info.version_patch, 2, 10, 4))
        return aErrNone;
    SystemClass system;
    system.init(&module, 0);
    uint8_t name[kDeviceNameMax];
    size_t length = 0;
    aErr result = system.getName(name, sizeof name, &length);
    if (result == aErrNone)
        info.device_name.assign(reinterpret_cast<const char*>(name), length);
    return result;
}

linkType _discover_link_type(uint32_t serial)
{
    LinkSearch search{serial, 0};
    aDiscovery_EnumerateModules(USB, _discovered_link, &search, kDiscoveryInterface);
    if (search.type == 0)
        aDiscovery_EnumerateModules(TCPIP, _discovered_link, &search, kDiscoveryInterface);
    return search.type;
}

namespace {

// The modules reached directly on the given transports, not yet queried.
std::vector<DeviceInfo> _enumerate(linkType type)
{
    std::vector<DeviceInfo> devices;
    std::vector<linkType> types = type ? std::vector<linkType>{type} : std::vector<linkType>{USB, TCPIP};
    for (linkType searched : types)
        aDiscovery_EnumerateModules(searched, _discovered_device, &devices, kDiscoveryInterface);
    return devices;
}

// The messages of one of several discovery workers, shown in the modules'
// order once every worker is done.
class HeldMessages : public UpdaterDisplayInterface {
public:
    void display_progress(bool) override {}
    void update_progress(double, const char*) override {}
    void update_spinner(bool, const char*) override {}
    void info_message(const char* text) override { held_.emplace_back(LEVEL_INFO, text); }
    void error_message(const char* text) override { held_.emplace_back(LEVEL_ERROR, text); }
    void ShowOn(UpdaterDisplayInterface& display) const
    {
        for (const auto& [level, text] : held_)
            display.message(level, "%s", text.c_str());
    }

private:
    std::vector<std::pair<Level, std::string>> held_;
};

// Runs work(i) for every i below count on a few threads at once.
void _each_at_once(size_t count, const std::function<void(size_t)>& work)
{
    std::atomic<size_t> next{0};
    std::vector<std::thread> workers;
    for (size_t w = 0; w < std::min(count, kDiscoveryWorkers); ++w)
        workers.emplace_back([&] {
            for (size_t i = next++; i < count; i = next++)
                work(i);
        });
    for (std::thread& worker : workers)
        worker.join();
}

}  // namespace

namespace {

struct Sightings {
    std::vector<DeviceInfo> devices;
    const std::function<void(const DeviceInfo&)>* each;
};

bool _sighted_device(const linkSpec* spec, bool* found, void* ref)
{
    auto* sightings = static_cast<Sightings*>(ref);
    _discovered_device(spec, found, &sightings->devices);
    if (*sightings->each)
        (*sightings->each)(sightings->devices.back());
    return true;
}

}  // namespace

std::vector<DeviceInfo> Updater::Find_Devices(linkType type, const std::function<void(const DeviceInfo&)>& each)
{
    Sightings sightings{{}, &each};
    aDiscovery_EnumerateModules(type, _sighted_device, &sightings, kDiscoveryInterface);
    return sightings.devices;
}

std::vector<DeviceInfo> Updater::Find_Served_Devices(uint32_t networkInterface)
{
    const std::function<void(const DeviceInfo&)> none;
    Sightings sightings{{}, &none};
    aDiscovery_Enumerate_PlexusModules(_sighted_device, &sightings, kDiscoveryInterface);
    if (networkInterface != 0 && networkInterface != kDiscoveryInterface)
        aDiscovery_Enumerate_PlexusModules(_sighted_device, &sightings, networkInterface);
    return sightings.devices;
}

void Updater::Query_Found(DeviceInfo& device)
{
    _query_device(device, display);
}

std::vector<DeviceInfo> Updater::Discover_Devices(linkType type)
{
    std::vector<DeviceInfo> devices = _enumerate(type);
    for (DeviceInfo& info : devices)
        _query_device(info, display);
    return devices;
}

namespace {

// Connects the module that answers at one bus address behind the router and
// reads its record; false when nothing usable answers there.
bool _probe_bus_address(Module& router, const linkSpec& routerSpec, uint8_t address, uint32_t router_serial,
                        linkType type, UpdaterDisplayInterface& display, DeviceInfo& info)
{
    Log::log(DEBUG_Updater, "Attempt Connect on address: 0x%02x\n", address);
    Module probed(address, false);
    _disablePlexus(probed, display);
    if (probed.connectThroughLinkModule(&router) != aErrNone)
        return false;
    SystemClass system;
    system.init(&probed, 0);
    uint32_t serial = 0;
    if (system.getSerialNumber(&serial) != aErrNone) {
        probed.disconnect();
        return false;
    }
    Log::log(DEBUG_Updater, "Got Serial [0x%08X]\n", serial);
    info.spec = routerSpec;
    info.spec.type = type;
    info.spec.serialNumber = serial;
    info.spec.router = router.getModuleAddress();
    info.spec.routerSerialNumber = router_serial;
    info.network_address = address;
    info.build_number = _get_build_number(probed);
    info.error = _get_version(probed, info);
    uint8_t model = 0;
    aErr modelResult = system.getModel(&model);
    if (modelResult == aErrNone) {
        info.spec.model = model;
        info.model_name = aDefs_GetModelName(model);
    } else {
        info.error = modelResult;
    }
    probed.disconnect();
    return true;
}

}  // namespace

std::vector<DeviceInfo> Updater::Discover_TSNetwork_Devices(uint32_t router_serial, linkType type)
{
    if (type == 0)
        type = _discover_link_type(router_serial);
    linkSpec* found = aDiscovery_FindModule(type, router_serial, kDiscoveryInterface);
    if (!found)
        return {};
    Log::log(DEBUG_Updater, "Found Link Module\n");
    std::vector<DeviceInfo> devices = _scan_router_bus(*found, type, true, display);
    aLinkSpec_Destroy(&found);
    return devices;
}

std::vector<DeviceInfo> Updater::Discover_Routed(const linkSpec& router)
{
    return _scan_router_bus(router, router.type, false, display);
}

std::vector<DeviceInfo> Updater::Discover_All_Devices(linkType type, uint32_t router_serial)
{
    if (router_serial != 0)
        return Discover_TSNetwork_Devices(router_serial, type);
    // Each module on its own link: they are queried and their buses scanned
    // side by side, their messages shown afterwards in the modules' order.
    std::vector<DeviceInfo> devices = _enumerate(type);
    std::vector<std::vector<DeviceInfo>> routed(devices.size());
    std::vector<HeldMessages> messages(devices.size());
    _each_at_once(devices.size(), [&](size_t i) {
        _query_device(devices[i], messages[i]);
        if (devices[i].error == aErrNone)
            routed[i] = _scan_router_bus(devices[i].spec, devices[i].spec.type, false, messages[i]);
    });
    const size_t direct = devices.size();
    for (size_t i = 0; i < direct; ++i) {
        messages[i].ShowOn(display);
        devices.insert(devices.end(), routed[i].begin(), routed[i].end());
    }
    return devices;
}

std::vector<DeviceInfo> Updater::_scan_router_bus(const linkSpec& routerSpec, linkType type, bool report,
                                                  UpdaterDisplayInterface& display)
{
    std::vector<DeviceInfo> devices;
    const uint32_t router_serial = routerSpec.serialNumber;
    Module router(kInitialModuleAddress, true);
    _disablePlexus(router, display);
    aErr result = router.connectFromSpec(routerSpec);
    if (result != aErrNone) {
        if (report)
            display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Error %d on connectFromSpec", result);
        return devices;
    }

    SystemClass routerSystem;
    routerSystem.init(&router, 0);
    result = routerSystem.routeToMe(1);
    if (result != aErrNone) {
        if (report)
            display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Error %d on route to me", result);
    } else {
        I2CClass bus;
        bus.init(&router, 0);
        bus.setSpeed(kBusSpeed);
        const uint8_t probe[] = {0x00, 0x00};
        for (unsigned address = kFirstBusAddress; address <= kLastBusAddress; address += 2) {
            if (address == router.getModuleAddress())
                continue;
            Log::log(DEBUG_Updater, "Searching Address 0x%02x\n", address);
            if (bus.write(static_cast<uint8_t>(address), sizeof probe, probe) != aErrNone)
                continue;
            DeviceInfo info;
            if (_probe_bus_address(router, routerSpec, static_cast<uint8_t>(address), router_serial, type, display,
                                   info))
                devices.push_back(std::move(info));
        }
    }

    routerSystem.routeToMe(0);
    router.disconnect();
    return devices;
}
