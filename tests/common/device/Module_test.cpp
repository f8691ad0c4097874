// Link and Module objects over real TCP links to scripted modules.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "common/device/Module.h"
#include "common/device/SystemClass.h"
#include "support/DiscoveryPeers.h"
#include "support/PrivateNetwork.h"
#include "support/ScriptedModule.h"

using namespace Kestrune::Tessarine;
using testsupport::LoopbackSpec;
using testsupport::NoNetworking;
using testsupport::ScriptedModule;
using testsupport::WirePacket;

namespace {

constexpr int32_t kRunning = 2;
constexpr int32_t kFailed = 8;

}  // namespace

TEST(Module, LearnsItsAddressFromTheDevice)
{
    ScriptedModule peer(8);
    Module module(6, true);
    ASSERT_EQ(module.setConfig(NoNetworking()), aErrNone);
    EXPECT_EQ(module.connectFromSpec(LoopbackSpec(peer.port())), aErrNone);
    EXPECT_EQ(module.getModuleAddress(), 8);
    EXPECT_GE(peer.magicCount(), 1u);
    EXPECT_EQ(module.connectFromSpec(LoopbackSpec(peer.port())), aErrBusy);
}

TEST(Module, WithoutNetworkingModeTheAddressIsNeverQueried)
{
    ScriptedModule peer(8);
    Module module(6, false);
    ASSERT_EQ(module.setConfig(NoNetworking()), aErrNone);
    EXPECT_EQ(module.connectFromSpec(LoopbackSpec(peer.port())), aErrNone);
    EXPECT_EQ(module.getModuleAddress(), 6);
    EXPECT_EQ(peer.magicCount(), 0u);
}

TEST(Module, ConnectNeedsASerialNumber)
{
    Module module(2);
    EXPECT_EQ(module.connect(TCPIP, 0), aErrParam);
    EXPECT_EQ(module.getStatus(), kFailed);
    EXPECT_FALSE(module.isConnected());
}

TEST(Link, SpecifierIsKeptWhileRunning)
{
    ScriptedModule peer(4);
    Link link("test");
    linkSpec spec;
    EXPECT_EQ(link.getLinkSpecifier(&spec), aErrNotFound);
    EXPECT_EQ(link.connect(), aErrConfiguration) << "no spec to connect from";
    ASSERT_EQ(link.setConfig(NoNetworking()), aErrNone);
    ASSERT_EQ(link.setLinkSpecifier(LoopbackSpec(peer.port())), aErrNone);
    ASSERT_EQ(link.connect(), aErrNone);
    EXPECT_EQ(link.getStatus(), kRunning);
    EXPECT_EQ(link.connect(), aErrConnection) << "already holds a link";

    EXPECT_EQ(link.setLinkSpecifier(LoopbackSpec(1, 0x1234)), aErrBusy);
    EXPECT_EQ(link.setConfig(NoNetworking(true)), aErrMode);
    ASSERT_EQ(link.getLinkSpecifier(&spec), aErrNone);
    EXPECT_EQ(spec.serialNumber, 0x40F5849Au);
    EXPECT_EQ(spec.ipPort, peer.port());

    EXPECT_EQ(link.disconnect(), aErrNone);
    EXPECT_EQ(link.getLinkId(), 0u);
    EXPECT_EQ(link.getStatus(), kFailed);
}

TEST(Link, TransportKindsWithoutALinkFailHonestly)
{
    Link link("test");
    linkSpec spec = LoopbackSpec(1);
    spec.type = 0;
    ASSERT_EQ(link.setLinkSpecifier(spec), aErrNone);
    EXPECT_EQ(link.connect(), aErrMode);

    spec.type = PLEXUS_USB;
    ASSERT_EQ(link.setLinkSpecifier(spec), aErrNone);
    ASSERT_EQ(link.setConfig(NoNetworking()), aErrNone);
    EXPECT_EQ(link.connect(), aErrConfiguration) << "network kinds need networking";
    ASSERT_EQ(link.setConfig(PlexusConfig{}), aErrNone);
    // A network client connects lazily: the link comes up, and a module that
    // nobody serves answers nothing.
    EXPECT_EQ(link.connect(), aErrNone);
    EXPECT_NE(link.getLinkId(), 0u);
    uint8_t address = 0;
    EXPECT_EQ(link.getModuleAddress(&address), aErrNotReady);
    EXPECT_EQ(link.disconnect(), aErrNone);
    EXPECT_EQ(link.getLinkId(), 0u);
}

TEST(Link, DeviceLinkThatCannotBeServedIsReleased)
{
    ScriptedModule peer(4);
    Link link("test");
    ASSERT_EQ(link.setLinkSpecifier(LoopbackSpec(peer.port())), aErrNone);
    // Networking on (the default): the device link would be served, but the
    // module never tells its model, so the connection fails and the device link goes.
    EXPECT_EQ(link.connect(), aErrConnection);
    EXPECT_EQ(link.getLinkId(), 0u);
}

TEST(Module, RoutedModuleSharesTheRoutersLink)
{
    ScriptedModule peer(4);
    peer.setHandler([](const WirePacket& packet) {
        // Both modules answer their serial number from their own address.
        uint8_t low = packet.address;
        return std::vector<WirePacket>{{packet.address, {3, 9, 0, 0, 0, 0, low}}};
    });
    Module router(2, true);
    ASSERT_EQ(router.setConfig(NoNetworking()), aErrNone);
    ASSERT_EQ(router.connectFromSpec(LoopbackSpec(peer.port())), aErrNone);
    ASSERT_EQ(router.getModuleAddress(), 4);

    auto routed = std::make_unique<Module>(10, true);
    ASSERT_EQ(routed->connectThroughLinkModule(&router), aErrNone);
    EXPECT_EQ(routed->getModuleAddress(), 10) << "a routed module keeps the address it was given";
    EXPECT_EQ(routed->getLink()->getLinkId(), router.getLink()->getLinkId());
    EXPECT_EQ(peer.connections(), 1);

    SystemClass routedSystem;
    routedSystem.init(routed.get(), 0);
    uint32_t serial = 0;
    EXPECT_EQ(routedSystem.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, 10u);

    routed.reset();  // drops the routed module's use
    EXPECT_TRUE(router.isConnected());
    SystemClass routerSystem;
    routerSystem.init(&router, 0);
    EXPECT_EQ(routerSystem.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, 4u);
}

TEST(Module, DiscoveryFallsBackToServedModulesOnlyWhenAllowed)
{
    PRIVATE_NETWORK_OR_RERUN();
    // No USB module, but a local server announces the serial number: the
    // fallback finds it there (and cannot connect as a client without
    // networking), while no fallback reports the module as not found.
    linkSpec served{};
    served.type = PLEXUS_USB;
    served.serialNumber = 0x40F5849A;
    served.ipAddress = 0x0100007F;
    served.ipPort = 45000;
    testsupport::LocalServerPeer server(0, served);
    ASSERT_TRUE(server.ready());

    Module withFallback(2);
    ASSERT_EQ(withFallback.setConfig(NoNetworking(true)), aErrNone);
    EXPECT_EQ(withFallback.connect(USB, 0x40F5849A), aErrConfiguration);
    EXPECT_EQ(server.requests(), 1);

    Module withoutFallback(2);
    ASSERT_EQ(withoutFallback.setConfig(NoNetworking(false)), aErrNone);
    EXPECT_EQ(withoutFallback.connect(USB, 0x40F5849A), aErrNotFound);
    EXPECT_EQ(server.requests(), 1);
}

TEST(Module, PacketLogRecordsWhatCrossesTheLink)
{
    ScriptedModule peer(4);
    peer.setHandler([](const WirePacket&) { return std::vector<WirePacket>{{4, {3, 8, 0, 13}}}; });
    Module module(2);
    ASSERT_EQ(module.setConfig(NoNetworking()), aErrNone);
    EXPECT_EQ(module.enablePacketLog("/nonexistent"), aErrConfiguration) << "no link yet";
    ASSERT_EQ(module.connectFromSpec(LoopbackSpec(peer.port())), aErrNone);
    std::string path = ::testing::TempDir() + "packets.log";
    ASSERT_EQ(module.enablePacketLog(path.c_str()), aErrNone);
    SystemClass system;
    system.init(&module, 0);
    uint8_t model = 0;
    ASSERT_EQ(system.getModel(&model), aErrNone);
    // The engine records a sent packet after writing it; once a second exchange
    // is through, the first one's records are surely in the log.
    ASSERT_EQ(system.getModel(&model), aErrNone);
    ASSERT_EQ(module.disablePacketLog(), aErrNone);

    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    EXPECT_NE(text.str().find("START"), std::string::npos) << text.str();
    EXPECT_NE(text.str().find("5 > 0x4 0x3 0x3 0x48 0x20 \r\n"), std::string::npos) << text.str();
    EXPECT_NE(text.str().find("6 < 0x4 0x4 0x3 0x8 0x0 0xD \r\n"), std::string::npos) << text.str();
}
