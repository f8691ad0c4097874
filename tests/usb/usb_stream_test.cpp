// The USB byte stream and USB enumeration of modules over emulated devices.
#include <gtest/gtest.h>

#include <numeric>

#include "common/discovery/aDiscovery.h"
#include "common/aStream.h"
#include "common/aStreamUSB.h"
#include "sim/usb/UsbEmulation.h"

using namespace usbemu;

namespace {

class UsbStreamTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        if (stream)
            aStream_Destroy(&stream);
        Tessarine_libusb_exit();
    }

    UsbEmulation emulation;
    aStreamRef stream = nullptr;
};

TEST_F(UsbStreamTest, RefusesSerialNumberZeroAndMissingModules)
{
    EXPECT_EQ(aStream_CreateUSB(0, &stream), aErrParam);
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(aStream_CreateUSB(0x1234, nullptr), aErrParam);
    EXPECT_EQ(aStream_CreateUSB(0x1234, &stream), aErrNotFound);
    EXPECT_EQ(stream, nullptr);
    emulation.addModule(0x1234, 0x13).holdInterface(true);
    EXPECT_EQ(aStream_CreateUSB(0x1234, &stream), aErrBusy);
    EXPECT_EQ(stream, nullptr);
}

TEST_F(UsbStreamTest, CarriesBytesToAndFromAModuleThroughLibusb)
{
    EmulatedUsbDevice& module = emulation.addModule(0x40F5849A, 0x13, true);
    module.setReceiver([&module](const uint8_t* data, size_t length) {
        std::vector<uint8_t> reply(data, data + length);
        for (auto& b : reply)
            b = static_cast<uint8_t>(b + 1);
        module.sendToHost(reply);
    });
    ASSERT_EQ(aStream_CreateUSB(0x40F5849A, &stream), aErrNone);
    auto* usb = static_cast<USBStreamData*>(stream->procRef);
    EXPECT_EQ(usb->serialNumber, 0x40F5849Au);
    EXPECT_EQ(usb->device->mode, tsusbModeLibusb);
    EXPECT_TRUE(module.claimed());

    const uint8_t packet[] = {0x04, 0x02, 0x11, 0x22};
    ASSERT_EQ(aStream_Write(stream, packet, sizeof packet), aErrNone);
    EXPECT_EQ(module.outTransfers(), (std::vector<size_t>{4}));
    uint8_t reply[4] = {};
    aErr result = aErrNotReady;
    for (int i = 0; i < 3 && result == aErrNotReady; ++i)
        result = aStream_Read(stream, reply, sizeof reply);
    ASSERT_EQ(result, aErrNone);
    EXPECT_EQ(std::vector<uint8_t>(reply, reply + 4), (std::vector<uint8_t>{0x05, 0x03, 0x12, 0x23}));

    const uint8_t one = 0x99;
    ASSERT_EQ(aStream_Write(stream, &one, 1), aErrNone);
    EXPECT_EQ(module.outTransfers().back(), 1u);

    EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
    EXPECT_EQ(stream, nullptr);
    EXPECT_FALSE(module.claimed());
}

TEST_F(UsbStreamTest, UsesTheKernelDriverNodeWhenItExists)
{
    EmulatedUsbDevice& module = emulation.addModule(0x1234, 0x13);
    EmulatedKernelNode& node = emulation.addKernelNode(0x1234);
    ASSERT_EQ(aStream_CreateUSB(0x1234, &stream), aErrNone);
    EXPECT_EQ(static_cast<USBStreamData*>(stream->procRef)->device->mode, tsusbModeKernel);
    const uint8_t packet[] = {0x04, 0x00};
    ASSERT_EQ(aStream_Write(stream, packet, sizeof packet), aErrNone);
    EXPECT_EQ(node.hostBytes(), std::vector<uint8_t>(packet, packet + 2));
    EXPECT_TRUE(module.hostBytes().empty());
    EXPECT_EQ(module.claims(), 0u);

    node.sendToHost({0x06, 0x00});
    EXPECT_EQ(aStream_Wait(stream, 1000), aErrNone);
    uint8_t reply[2] = {};
    aErr result = aErrNotReady;
    for (int i = 0; i < 3 && result == aErrNotReady; ++i)
        result = aStream_Read(stream, reply, sizeof reply);
    ASSERT_EQ(result, aErrNone);
    EXPECT_EQ(reply[0], 0x06);
}

TEST_F(UsbStreamTest, AVanishedModuleEndsInAnIOError)
{
    EmulatedUsbDevice& module = emulation.addModule(0x1234, 0x13);
    ASSERT_EQ(aStream_CreateUSB(0x1234, &stream), aErrNone);
    module.unplug();
    uint8_t byte;
    aErr result = aErrNotReady;
    for (int i = 0; i < 10 && result == aErrNotReady; ++i)
        result = aStream_Read(stream, &byte, 1);
    EXPECT_EQ(result, aErrIO);
}

// ---- enumeration -----------------------------------------------------------

struct Collected {
    std::vector<linkSpec> specs;
    bool stopAfterFirst = false;
    bool count = true;
};

bool _collect(const linkSpec* spec, bool* found, void* ref)
{
    auto* collected = static_cast<Collected*>(ref);
    collected->specs.push_back(*spec);
    *found = collected->count;
    return !collected->stopAfterFirst;
}

TEST_F(UsbStreamTest, EnumeratesModulesAsUsbSpecs)
{
    Collected collected;
    EXPECT_EQ(aDiscovery_EnumerateModules(USB, _collect, &collected, 0), 0);
    EXPECT_TRUE(collected.specs.empty());

    emulation.addModule(0x1A2B3C4D, 0x13);
    UsbDeviceConfig notAModule = moduleConfig(0x11111111, 0x05);
    notAModule.productId = 0x8005;
    emulation.addDevice(notAModule);
    EXPECT_EQ(aDiscovery_EnumerateModules(USB, _collect, &collected, 0), 1);
    ASSERT_EQ(collected.specs.size(), 1u);
    const linkSpec& spec = collected.specs[0];
    EXPECT_EQ(spec.type, USB);
    EXPECT_EQ(spec.serialNumber, 0x1A2B3C4Du);
    EXPECT_EQ(spec.model, 0x13u);
    EXPECT_EQ(spec.usbId, 0x1A2B3C4Du);
    EXPECT_EQ(spec.module, 0u);
    EXPECT_EQ(spec.router, 0u);
    EXPECT_EQ(spec.routerSerialNumber, 0u);

    emulation.addModule(0x00000002, 0x0B, true);
    collected.specs.clear();
    collected.stopAfterFirst = true;
    EXPECT_EQ(aDiscovery_EnumerateModules(USB, _collect, &collected, 0), 1);
    EXPECT_EQ(collected.specs.size(), 1u);

    collected.specs.clear();
    collected.stopAfterFirst = false;
    collected.count = false;
    EXPECT_EQ(aDiscovery_EnumerateModules(USB, _collect, &collected, 0), 0);
    EXPECT_EQ(collected.specs.size(), 2u);
}

TEST_F(UsbStreamTest, FindsAModuleBySerialNumber)
{
    emulation.addModule(0x1A2B3C4D, 0x13);
    emulation.addModule(0x0000ABCD, 0x0B);
    EXPECT_EQ(aDiscovery_FindModule(USB, 0x0BADF00D, 0), nullptr);
    linkSpec* spec = aDiscovery_FindModule(USB, 0x0000ABCD, 0);
    ASSERT_NE(spec, nullptr);
    EXPECT_EQ(spec->type, USB);
    EXPECT_EQ(spec->model, 0x0Bu);
    EXPECT_EQ(spec->usbId, 0x0000ABCDu);
    aLinkSpec_Destroy(&spec);
    linkSpec* first = aDiscovery_FindFirstModule(USB, 0);
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(first->serialNumber == 0x1A2B3C4D || first->serialNumber == 0x0000ABCD);
    aLinkSpec_Destroy(&first);
}

}  // namespace
