// The virtual module through the device library's object layer, as the updater
// reaches modules: Module connects (from a link specifier, by discovery, through
// a routing module), SystemClass, I2CClass and the entity byte strings.
#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <numeric>

#include "common/device/I2CClass.h"
#include "common/device/Module.h"
#include "common/device/SystemClass.h"
#include "common/discovery/aDiscovery.h"
#include "sim/TcpModuleServer.h"
#include "support/PrivateNetwork.h"

using namespace Sim;
using namespace Kestrune::Tessarine;

namespace {

ModuleConfig _config(uint32_t serial, uint8_t address)
{
    ModuleConfig c;
    c.serialNumber = serial;
    c.moduleAddress = address;
    c.model = 7;
    c.version = 0x2F020F03;
    c.build = 4321;
    c.name = "Object layer hub";
    return c;
}

// The updater's settings for every module it creates: no network serving.
PlexusConfig _no_plexus()
{
    PlexusConfig c;
    c.enabled = false;
    c.fallback = false;
    return c;
}

linkSpec _tcp_spec(uint32_t serial, const std::string& address, uint16_t port)
{
    linkSpec spec;
    memset(&spec, 0, sizeof spec);
    spec.type = TCPIP;
    spec.serialNumber = serial;
    inet_pton(AF_INET, address.c_str(), &spec.ipAddress);
    spec.ipPort = port;
    return spec;
}

struct Served {
    std::shared_ptr<VirtualModule> module;
    std::unique_ptr<TcpModuleServer> server;
    Served(const ModuleConfig& config, const std::string& discovery = "")
        : module(std::make_shared<VirtualModule>(config)),
          server(std::make_unique<TcpModuleServer>(module, "", 0, discovery))
    {
        std::string error;
        EXPECT_TRUE(server->Start(error)) << error;
    }
};

}  // namespace

TEST(ObjectLayer, SystemEntityAndModuleQueriesFromALinkSpecifier)
{
    Served served(_config(0x2468ACE0, 6));
    Module module(2);
    ASSERT_EQ(module.setConfig(_no_plexus()), aErrNone);
    ASSERT_EQ(module.connectFromSpec(_tcp_spec(0x2468ACE0, "127.0.0.1", served.server->Port())), aErrNone);
    EXPECT_EQ(module.getModuleAddress(), 6) << "learned from the module with the magic packet";

    SystemClass system;
    system.init(&module, 0);
    uint32_t serial = 0, version = 0, build = 0, features = 0, word = 0;
    uint8_t model = 0, router = 0xFF;
    EXPECT_EQ(system.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, 0x2468ACE0u);
    EXPECT_EQ(system.getVersion(&version), aErrNone);
    EXPECT_EQ(version, 0x2F020F03u);
    EXPECT_EQ(system.getModel(&model), aErrNone);
    EXPECT_EQ(model, 7);
    EXPECT_EQ(system.getRouter(&router), aErrNone);
    EXPECT_EQ(router, 0);
    EXPECT_EQ(system.getBuild(&build), aErrNone);
    EXPECT_EQ(build, 4321u);
    EXPECT_EQ(system.getProtocolFeatures(&features), aErrNone);
    EXPECT_EQ(features & 0x80000000u, 0x80000000u);
    EXPECT_EQ(system.getUEI32(39, 1, &word), aErrNone);
    EXPECT_EQ(word, 0x22222222u);
    EXPECT_EQ(system.routeToMe(1), aErrNone);
    EXPECT_EQ(served.module->Stats().routeToMe, 1);
    EXPECT_EQ(system.getUEI32(44, &word), aErrInvalidOption) << "an option the module does not have";

    uint8_t name[32];
    size_t length = 0;
    EXPECT_EQ(system.getName(name, sizeof name, &length), aErrNone);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(name), length), "Object layer hub");
    const std::string longer = "A name that fills all 32 bytes..";
    EXPECT_EQ(system.setName(reinterpret_cast<const uint8_t*>(longer.data()), longer.size()), aErrNone);
    EXPECT_EQ(system.getName(name, sizeof name, &length), aErrNone);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(name), length), longer);

    EXPECT_EQ(module.getBuild(&build), aErrNone);
    EXPECT_EQ(build, 4321u);
    EXPECT_EQ(module.hasUEI(95, 10, 0, 0x80), aErrNone);
    EXPECT_EQ(module.hasUEI(3, 9, 0, 0x80), aErrMode);
    const uint8_t echo[] = {1, 2, 3};
    EXPECT_EQ(module.debug(echo, sizeof echo), aErrNone);
    EXPECT_EQ(module.disconnect(), aErrNone);
}

TEST(ObjectLayer, A50ByteStringSetGoesOutInThreeChunksAndIsTakenWhole)
{
    Served served(_config(0x13572468, 2));
    std::mutex traceMutex;
    std::vector<std::string> sequences;  // last byte of each data chunk, as the module got it
    served.server->SetTrace([&](const std::string& line) {
        if (line.find("<- 02 ") == std::string::npos || line.find(" 5F 8A 20 ") == std::string::npos)
            return;
        std::lock_guard lock(traceMutex);
        sequences.push_back(line.substr(line.size() - 2));
    });
    Module module(2);
    ASSERT_EQ(module.setConfig(_no_plexus()), aErrNone);
    ASSERT_EQ(module.connectFromSpec(_tcp_spec(0x13572468, "127.0.0.1", served.server->Port())), aErrNone);
    EntityClass upgrade;
    upgrade.init(&module, 95, 0);
    std::vector<uint8_t> data(50);
    std::iota(data.begin(), data.end(), 1);
    EXPECT_EQ(upgrade.setUEIBytes(10, data.data(), data.size()), aErrNone);
    {
        std::lock_guard lock(traceMutex);
        EXPECT_EQ(sequences, (std::vector<std::string>{"80", "81", "02"}));
    }
    ModuleStats s = served.module->Stats();
    EXPECT_EQ(s.upgrade.dataUeiStrings, 1u);
    EXPECT_EQ(s.upgrade.bytesAccepted, 50u);
    module.disconnect();
}

TEST(ObjectLayer, ModulesBehindARouterAnswerOverItsLink)
{
    Served router(_config(0x0A0A0A0A, 2));
    auto member = std::make_shared<VirtualModule>(_config(0x0B0B0B0B, 8));
    router.module->Attach(member);

    Module hub(0);
    ASSERT_EQ(hub.setConfig(_no_plexus()), aErrNone);
    ASSERT_EQ(hub.connectFromSpec(_tcp_spec(0x0A0A0A0A, "127.0.0.1", router.server->Port())), aErrNone);
    I2CClass bus;
    bus.init(&hub, 0);
    const uint8_t probe[] = {0, 0};
    EXPECT_EQ(bus.write(8, 2, probe), aErrNone);
    EXPECT_NE(bus.write(10, 2, probe), aErrNone) << "nobody at bus address 10";

    Module behind(8, false);
    ASSERT_EQ(behind.setConfig(_no_plexus()), aErrNone);
    ASSERT_EQ(behind.connectThroughLinkModule(&hub), aErrNone);
    SystemClass system;
    system.init(&behind, 0);
    uint32_t serial = 0;
    uint8_t routerAddress = 0;
    EXPECT_EQ(system.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, 0x0B0B0B0Bu);
    EXPECT_EQ(system.getRouter(&routerAddress), aErrNone);
    EXPECT_EQ(routerAddress, 2);
    behind.disconnect();
    EXPECT_TRUE(hub.isConnected()) << "the routed module's use leaves the router's link up";
    hub.disconnect();
}

TEST(ObjectLayerInPrivateNetwork, DiscoveryFindsTheModuleAndModuleConnectsToIt)
{
    PRIVATE_NETWORK_OR_RERUN();
    Served served(_config(0x1A2B3C4D, 6), testsupport::kPrivateAddress);
    std::unique_ptr<linkSpec, void (*)(linkSpec*)> spec(aDiscovery_FindModule(TCPIP, 0x1A2B3C4D, 0x0100007F),
                                                        [](linkSpec* s) { aLinkSpec_Destroy(&s); });
    ASSERT_NE(spec, nullptr);
    EXPECT_EQ(spec->module, 6u);
    EXPECT_EQ(spec->ipPort, served.server->Port());
    EXPECT_EQ(spec->model, 7u);
    char address[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &spec->ipAddress, address, sizeof address);
    EXPECT_STREQ(address, testsupport::kPrivateAddress);

    Module module(2);
    ASSERT_EQ(module.setConfig(_no_plexus()), aErrNone);
    ASSERT_EQ(module.connect(TCPIP, 0x1A2B3C4D), aErrNone);
    SystemClass system;
    system.init(&module, 0);
    uint32_t serial = 0;
    EXPECT_EQ(system.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, 0x1A2B3C4Du);
    module.disconnect();
}
