// Links to virtual modules on the emulated USB bus: shared creation, sync,
// packets both ways, and a link that comes back after the module re-plugs.
#include <gtest/gtest.h>

#include <thread>

#include "common/aLink.h"
#include "sim/usb/UsbModuleHost.h"
#include "unix/tsusb.h"

using namespace usbemu;

namespace {

constexpr uint32_t SERIAL = 0x40F5849A;
constexpr uint8_t ADDRESS = 6;

Sim::ModuleConfig _config()
{
    Sim::ModuleConfig config;
    config.serialNumber = SERIAL;
    config.model = 0x13;
    config.moduleAddress = ADDRESS;
    config.dropPauseMs = 200;
    return config;
}

uint8_t _from_module(const aPacket* packet, const void*)
{
    return packet->address == ADDRESS;
}

class UsbLinkTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        while (link)
            aLink_Destroy(&link);
        Tessarine_libusb_exit();
    }

    // Asks the module for its serial number (system entity, option 9).
    aPacket* askSerial(uint32_t id)
    {
        const uint8_t get[] = {0x03, 0x49, 0x20};
        aPacket* request = aPacket_CreateWithData(ADDRESS, sizeof get, get);
        EXPECT_EQ(aLink_PutPacket(id, request), aErrNone);
        aPacket_Destroy(&request);
        return aLink_AwaitFirst(id, _from_module, nullptr, 1000);
    }

    UsbEmulation emulation;
    uint32_t link = 0;
};

TEST_F(UsbLinkTest, CreatesASynchronisedLinkThatAnswers)
{
    UsbModuleHost host(emulation, std::make_shared<Sim::VirtualModule>(_config()));
    link = aLink_CreateUSB(SERIAL);
    ASSERT_NE(link, 0u);
    EXPECT_EQ(aLink_GetStatus(link), LinkStatus::running);
    EXPECT_GE(host.module().Stats().magicAnswered, 2u);
    // The surplus answers to the magic packets were drained.
    aPacket* stray = aLink_GetPacket(link);
    EXPECT_EQ(stray, nullptr);
    aPacket_Destroy(&stray);

    aPacket* reply = askSerial(link);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(std::vector<uint8_t>(reply->data, reply->data + reply->dataSize),
              (std::vector<uint8_t>{0x03, 0x09, 0x00, 0x40, 0xF5, 0x84, 0x9A}));
    aPacket_Destroy(&reply);
}

TEST_F(UsbLinkTest, SharesOneLinkPerSerialNumber)
{
    UsbModuleHost host(emulation, std::make_shared<Sim::VirtualModule>(_config()));
    uint32_t first = aLink_CreateUSB(SERIAL);
    uint32_t second = aLink_CreateUSB(SERIAL);
    ASSERT_NE(first, 0u);
    EXPECT_EQ(second, first);
    EXPECT_EQ(host.module().Stats().connections, 1u);
    EXPECT_EQ(aLink_Destroy(&first), aErrNone);
    EXPECT_EQ(first, 0u);
    EXPECT_EQ(aLink_GetStatus(second), LinkStatus::running);
    EXPECT_TRUE(host.device().claimed());
    EXPECT_EQ(aLink_Destroy(&second), aErrNone);
    EXPECT_EQ(aLink_GetStatus(second), LinkStatus::noStream);
    EXPECT_FALSE(host.device().claimed());
}

TEST_F(UsbLinkTest, FailsWithoutAModuleOrWithoutAnAnswer)
{
    EXPECT_EQ(aLink_CreateUSB(0), 0u);
    EXPECT_EQ(aLink_CreateUSB(SERIAL), 0u);

    auto module = std::make_shared<Sim::VirtualModule>(_config());
    Sim::Fault silent;
    silent.kind = Sim::FaultKind::Silent;
    silent.times = -1;
    module->AddFault(silent);
    UsbModuleHost host(emulation, module);
    EXPECT_EQ(aLink_CreateUSB(SERIAL), 0u);
    // Nothing is left holding the module.
    EXPECT_FALSE(host.device().claimed());
}

TEST_F(UsbLinkTest, AResetLinkReachesTheModuleAgainAfterItReturns)
{
    auto module = std::make_shared<Sim::VirtualModule>(_config());
    UsbModuleHost host(emulation, module);
    link = aLink_CreateUSB(SERIAL);
    ASSERT_NE(link, 0u);
    Sim::Fault drop;
    drop.kind = Sim::FaultKind::DropAfterBytes;
    drop.bytes = 1;
    module->AddFault(drop);
    aPacket* lost = askSerial(link);
    aPacket_Destroy(&lost);

    for (int i = 0; i < 100 && aLink_GetStatus(link) != LinkStatus::ioError; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(aLink_GetStatus(link), LinkStatus::ioError);
    for (int i = 0; i < 100 && host.replugs() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(host.replugs(), 1u);

    EXPECT_EQ(aLink_Reset(link), aErrNone);
    EXPECT_EQ(aLink_Sync(link), aErrNone);
    aPacket* reply = askSerial(link);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->data[1], 0x09);
    aPacket_Destroy(&reply);
}

// The module restarts after LOAD (into its loader) and REBOOT (into the
// application) by leaving the bus and coming back, as a real module re-enumerates.
TEST_F(UsbLinkTest, TheModuleReEnumeratesAfterLoadAndReboot)
{
    Sim::ModuleConfig config = _config();
    config.loadPauseMs = 200;
    config.rebootPauseMs = 200;
    auto module = std::make_shared<Sim::VirtualModule>(config);
    UsbModuleHost host(emulation, module);

    auto restartWith = [&](std::vector<uint8_t> request, unsigned replugs) {
        link = aLink_CreateUSB(SERIAL);
        ASSERT_NE(link, 0u);
        aPacket* packet = aPacket_CreateWithData(ADDRESS, static_cast<uint8_t>(request.size()), request.data());
        ASSERT_EQ(aLink_PutPacket(link, packet), aErrNone);
        aPacket_Destroy(&packet);
        for (int i = 0; i < 200 && host.replugs() < replugs; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ASSERT_EQ(host.replugs(), replugs);
        aLink_Destroy(&link);
    };
    const uint8_t LOAD = 2;
    const uint8_t REBOOT = 6;
    restartWith({95, LOAD}, 1);
    EXPECT_TRUE(module->Stats().loaderRunning);
    restartWith({95, REBOOT}, 2);
    EXPECT_FALSE(module->Stats().loaderRunning);
    EXPECT_EQ(module->Stats().restarts, 2u);

    // Back on the bus: a new link reaches the module again.
    link = aLink_CreateUSB(SERIAL);
    ASSERT_NE(link, 0u);
    aPacket* reply = askSerial(link);
    ASSERT_NE(reply, nullptr);
    aPacket_Destroy(&reply);
}

}  // namespace
