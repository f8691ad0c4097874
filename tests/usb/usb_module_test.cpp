// Virtual modules on the emulated USB bus, reached through the USB stream:
// packets both ways, heartbeats, and the re-plug after a dropped link.
#include <gtest/gtest.h>

#include <thread>

#include "common/aStream.h"
#include "sim/usb/UsbModuleHost.h"
#include "unix/tsusb.h"

using namespace usbemu;

namespace {

Sim::ModuleConfig _config(uint32_t serialNumber)
{
    Sim::ModuleConfig config;
    config.serialNumber = serialNumber;
    config.model = 0x13;
    config.moduleAddress = 4;
    config.dropPauseMs = 300;
    return config;
}

class UsbModuleTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        if (stream)
            aStream_Destroy(&stream);
        Tessarine_libusb_exit();
    }

    // Reads `length` bytes, allowing a few idle bulk reads on the way.
    aErr read(uint8_t* bytes, size_t length)
    {
        aErr result = aErrNotReady;
        for (int i = 0; i < 4 && result == aErrNotReady; ++i)
            result = aStream_Read(stream, bytes, length);
        return result;
    }

    // Creates the stream once the module is back on the bus, in the same
    // libusb context (hot-plug events keep its device list) or a fresh one.
    aErr reopen(bool freshContext)
    {
        aErr result = aErrNotFound;
        for (int i = 0; i < 100 && result == aErrNotFound; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            if (freshContext)
                Tessarine_libusb_exit();
            result = aStream_CreateUSB(0x40F5849A, &stream);
        }
        return result;
    }

    UsbEmulation emulation;
    aStreamRef stream = nullptr;
};

class UsbModuleAccessTest : public UsbModuleTest, public ::testing::WithParamInterface<UsbModuleHost::Access> {};

TEST_P(UsbModuleAccessTest, AnswersMagicPacketsFromItsAddress)
{
    {
        UsbModuleHost host(emulation, std::make_shared<Sim::VirtualModule>(_config(0x40F5849A)), GetParam());
        ASSERT_EQ(aStream_CreateUSB(0x40F5849A, &stream), aErrNone);
        const uint8_t magic[] = {0xAD, 0x00, 0xAD, 0x00};
        ASSERT_EQ(aStream_Write(stream, magic, sizeof magic), aErrNone);
        uint8_t reply[4] = {};
        ASSERT_EQ(read(reply, sizeof reply), aErrNone);
        EXPECT_EQ(std::vector<uint8_t>(reply, reply + 4), (std::vector<uint8_t>{4, 0, 4, 0}));
        EXPECT_EQ(host.module().Stats().magicAnswered, 2u);
        EXPECT_EQ(host.module().Stats().connections, 1u);
    }
}

INSTANTIATE_TEST_SUITE_P(Access, UsbModuleAccessTest,
                         ::testing::Values(UsbModuleHost::Access::Libusb, UsbModuleHost::Access::LibusbHighSpeed,
                                           UsbModuleHost::Access::KernelNode));

class UsbReplugTest : public UsbModuleTest, public ::testing::WithParamInterface<bool> {};

TEST_P(UsbReplugTest, ADroppedLinkUnplugsTheModuleUntilItIsBack)
{
    auto module = std::make_shared<Sim::VirtualModule>(_config(0x40F5849A));
    Sim::Fault drop;
    drop.kind = Sim::FaultKind::DropAfterBytes;
    drop.bytes = 4;
    module->AddFault(drop);
    UsbModuleHost host(emulation, module);
    ASSERT_EQ(aStream_CreateUSB(0x40F5849A, &stream), aErrNone);
    const uint8_t magic[] = {0xAD, 0x00, 0xAD, 0x00};
    ASSERT_EQ(aStream_Write(stream, magic, sizeof magic), aErrNone);

    // The link fails for good once the device is gone.
    uint8_t byte;
    aErr result = aErrNone;
    for (int i = 0; i < 20 && result != aErrIO; ++i)
        result = aStream_Read(stream, &byte, 1);
    EXPECT_EQ(result, aErrIO);
    aStream_Destroy(&stream);

    ASSERT_EQ(reopen(GetParam()), aErrNone);
    // Counted once the re-plug has returned, which may be just after the open.
    for (int i = 0; i < 100 && host.replugs() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(host.replugs(), 1u);
    ASSERT_EQ(aStream_Write(stream, magic, 2), aErrNone);
    uint8_t reply[2] = {};
    ASSERT_EQ(read(reply, 2), aErrNone);
    EXPECT_EQ(reply[0], 4);
    EXPECT_EQ(module->Stats().drops, 1u);
    EXPECT_EQ(module->Stats().connections, 2u);
}

INSTANTIATE_TEST_SUITE_P(Context, UsbReplugTest, ::testing::Bool());

TEST_F(UsbModuleTest, SendsHeartbeatsOnceTheHostUsesTheLink)
{
    Sim::ModuleConfig config = _config(0x40F5849A);
    config.heartbeatMs = 50;
    UsbModuleHost host(emulation, std::make_shared<Sim::VirtualModule>(config));
    ASSERT_EQ(aStream_CreateUSB(0x40F5849A, &stream), aErrNone);
    // Any packet to the module's address begins the use of the link.
    const uint8_t empty[] = {0x04, 0x00};
    ASSERT_EQ(aStream_Write(stream, empty, sizeof empty), aErrNone);
    // A heartbeat: the module's address, length 2, payload 0 and a value.
    uint8_t heartbeat[4] = {};
    ASSERT_EQ(read(heartbeat, 4), aErrNone);
    EXPECT_EQ(heartbeat[0], 4);
    EXPECT_EQ(heartbeat[1], 2);
    EXPECT_EQ(heartbeat[2], 0);
    EXPECT_GE(host.module().Stats().heartbeatsSent, 1u);
}

}  // namespace
