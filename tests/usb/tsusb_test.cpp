// The USB layer against emulated modules: open by serial number, chunked
// writes, buffered reads, stalls and the consecutive-failure count.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <numeric>

#include "sim/usb/UsbEmulation.h"
#include "unix/tsusb.h"

using namespace usbemu;

namespace {

std::vector<uint8_t> _counting(size_t length)
{
    std::vector<uint8_t> data(length);
    std::iota(data.begin(), data.end(), 0);
    return data;
}

class TsusbTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        if (device)
            tsusb_destroy(&device);
        Tessarine_libusb_exit();
    }

    aErr open(const char* serial)
    {
        device = tsusb_create_usb(true);
        EXPECT_NE(device, nullptr);
        return tsusb_open_tessarine_device(device, serial);
    }

    // Reads until a byte comes or `tries` reads said not ready.
    aErr readByte(uint8_t* byte, int tries = 3)
    {
        aErr result = aErrNotReady;
        for (int i = 0; i < tries && result == aErrNotReady; ++i)
            result = tsusb_get_from_device(device, byte);
        return result;
    }

    UsbEmulation emulation;
    USBDevice* device = nullptr;
};

TEST_F(TsusbTest, WritesInChunksOfThePacketSizeButNever512Bytes)
{
    EmulatedUsbDevice& high = emulation.addModule(0x1234, 0x13, true);
    EmulatedUsbDevice& full = emulation.addModule(0x5678, 0x13, false);
    std::vector<uint8_t> data = _counting(600);

    ASSERT_EQ(open("00001234"), aErrNone);
    EXPECT_EQ(device->outMaxPacket, 512);
    ASSERT_EQ(tsusb_write_to_device(device, data.data(), 600), aErrNone);
    EXPECT_EQ(high.outTransfers(), (std::vector<size_t>{511, 89}));
    EXPECT_EQ(high.hostBytes(), data);
    tsusb_destroy(&device);

    ASSERT_EQ(open("00005678"), aErrNone);
    EXPECT_EQ(device->outMaxPacket, 64);
    ASSERT_EQ(tsusb_write_to_device(device, data.data(), 600), aErrNone);
    std::vector<size_t> chunks(9, 64);
    chunks.push_back(24);
    EXPECT_EQ(full.outTransfers(), chunks);
    EXPECT_EQ(full.hostBytes(), data);
    EXPECT_EQ(tsusb_write_to_device(device, data.data(), 0), aErrNone);
}

TEST_F(TsusbTest, OpensOnlyTheExactUpperCaseSerialNumber)
{
    EmulatedUsbDevice& lower = emulation.addDevice([] {
        UsbDeviceConfig config = moduleConfig(0xABCD, 0x13);
        config.serial = "0000abcd";
        return config;
    }());
    EXPECT_EQ(open("0000ABCD"), aErrNotFound);
    EXPECT_EQ(lower.claims(), 0u);
    tsusb_destroy(&device);

    EmulatedUsbDevice& upper = emulation.addModule(0xABCD, 0x13);
    ASSERT_EQ(open("0000ABCD"), aErrNone);
    EXPECT_EQ(device->state, tsusbStateOpen);
    EXPECT_STREQ(device->serial, "0000ABCD");
    EXPECT_TRUE(upper.claimed());
    EXPECT_EQ(device->inEndpoint, 0x81);
    EXPECT_EQ(device->outEndpoint, 0x02);
    EXPECT_EQ(tsusb_close_tessarine_device(device), aErrNone);
    EXPECT_EQ(device->state, tsusbStateClosed);
    EXPECT_FALSE(upper.claimed());
    EXPECT_EQ(tsusb_close_tessarine_device(device), aErrMode);
}

TEST_F(TsusbTest, NeverOpensAProductIdWithTheTopBitSet)
{
    UsbDeviceConfig config = moduleConfig(0x1234, 0x01);
    config.productId = 0x8001;
    EmulatedUsbDevice& other = emulation.addDevice(config);
    EXPECT_EQ(open("00001234"), aErrNotFound);
    EXPECT_EQ(other.stringRequests(), 0u);
    EXPECT_EQ(other.claims(), 0u);
}

TEST_F(TsusbTest, AnInterfaceWithoutOutEndpointIsAConfigurationError)
{
    UsbDeviceConfig config = moduleConfig(0x1234, 0x13);
    config.outEndpoint = false;
    EmulatedUsbDevice& module = emulation.addDevice(config);
    EXPECT_EQ(open("00001234"), aErrConfiguration);
    EXPECT_EQ(device->state, tsusbStateClosed);
    EXPECT_EQ(device->handle, nullptr);
    EXPECT_EQ(module.claims(), 0u);
    uint8_t byte = 0;
    EXPECT_EQ(tsusb_write_to_device(device, &byte, 1), aErrConnection);
    EXPECT_EQ(tsusb_get_from_device(device, &byte), aErrConnection);
}

TEST_F(TsusbTest, EndpointsOfAnotherInterfaceClassAreNotUsed)
{
    UsbDeviceConfig config = moduleConfig(0x1234, 0x13);
    config.interfaceSubClass = 0x00;
    emulation.addDevice(config);
    EXPECT_EQ(open("00001234"), aErrConfiguration);
}

TEST_F(TsusbTest, AnInterfaceHeldByAnotherProgramIsBusy)
{
    EmulatedUsbDevice& module = emulation.addModule(0x1234, 0x13);
    module.holdInterface(true);
    EXPECT_EQ(open("00001234"), aErrBusy);
    EXPECT_EQ(device->state, tsusbStateClosed);
    tsusb_destroy(&device);

    // A second handle of this process is refused the same way.
    module.holdInterface(false);
    ASSERT_EQ(open("00001234"), aErrNone);
    USBDevice* second = tsusb_create_usb(true);
    EXPECT_EQ(tsusb_open_tessarine_device(second, "00001234"), aErrBusy);
    tsusb_destroy(&second);
}

TEST_F(TsusbTest, RefusesCallsOutsideTheOpenState)
{
    emulation.addModule(0x1234, 0x13);
    device = tsusb_create_usb(true);
    uint8_t byte = 7;
    EXPECT_EQ(tsusb_write_to_device(device, &byte, 1), aErrNotReady);
    EXPECT_EQ(tsusb_get_from_device(device, &byte), aErrNotReady);
    ASSERT_EQ(tsusb_open_tessarine_device(device, "00001234"), aErrNone);
    ASSERT_EQ(tsusb_close_tessarine_device(device), aErrNone);
    EXPECT_EQ(tsusb_write_to_device(device, &byte, 1), aErrConnection);
    EXPECT_EQ(tsusb_get_from_device(device, &byte), aErrConnection);
    // A closed record is final.
    EXPECT_EQ(tsusb_open_tessarine_device(device, "00001234"), aErrResource);

    device->mode = 7;
    EXPECT_EQ(tsusb_write_to_device(device, &byte, 1), aErrMode);
    EXPECT_EQ(tsusb_get_from_device(device, &byte), aErrMode);
    EXPECT_EQ(tsusb_close_tessarine_device(device), aErrMode);
    device->mode = tsusbModeLibusb;

    EXPECT_EQ(tsusb_write_to_device(nullptr, &byte, 1), aErrParam);
    EXPECT_EQ(tsusb_get_from_device(device, nullptr), aErrParam);
    USBDevice* none = nullptr;
    EXPECT_EQ(tsusb_destroy(&none), aErrParam);
}

TEST_F(TsusbTest, HandsOutBufferedBytesOfWholeBulkTransfers)
{
    EmulatedUsbDevice& module = emulation.addModule(0x1234, 0x13, true);
    ASSERT_EQ(open("00001234"), aErrNone);
    std::vector<uint8_t> sent = _counting(3000);
    module.sendToHost(sent);
    std::vector<uint8_t> got;
    uint8_t byte;
    while (got.size() < sent.size() && readByte(&byte) == aErrNone)
        got.push_back(byte);
    EXPECT_EQ(got, sent);
    EXPECT_EQ(device->available, 0u);
}

TEST_F(TsusbTest, FourFailuresAreAbsorbedTheFifthFailsTheRecord)
{
    EmulatedUsbDevice& module = emulation.addModule(0x1234, 0x13);
    ASSERT_EQ(open("00001234"), aErrNone);
    uint8_t byte = 0;
    module.failIn(4, EPROTO);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(tsusb_get_from_device(device, &byte), aErrNotReady) << i;
    EXPECT_EQ(device->failureCount, 4);
    module.sendToHost({0x42});
    ASSERT_EQ(tsusb_get_from_device(device, &byte), aErrNone);
    EXPECT_EQ(byte, 0x42);
    EXPECT_EQ(device->failureCount, 0);

    module.failIn(5, EPROTO);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(tsusb_get_from_device(device, &byte), aErrNotReady) << i;
    EXPECT_EQ(device->state, tsusbStateOpen);
    EXPECT_EQ(tsusb_get_from_device(device, &byte), aErrIO);
    EXPECT_EQ(device->state, tsusbStateFailed);
    module.sendToHost({0x43});
    EXPECT_EQ(tsusb_get_from_device(device, &byte), aErrIO);
    EXPECT_EQ(tsusb_write_to_device(device, &byte, 1), aErrIO);
    EXPECT_TRUE(module.hostBytes().empty());
}

TEST_F(TsusbTest, ClearsAStalledOutEndpointAndSendsEverything)
{
    EmulatedUsbDevice& module = emulation.addModule(0x1234, 0x13);
    ASSERT_EQ(open("00001234"), aErrNone);
    module.stallOut();
    std::vector<uint8_t> data = _counting(100);
    ASSERT_EQ(tsusb_write_to_device(device, data.data(), 100), aErrNone);
    EXPECT_EQ(module.clearHalts(0x02), 1u);
    EXPECT_EQ(module.hostBytes(), data);
}

TEST_F(TsusbTest, AStalledInEndpointIsClearedAndReportsNotReady)
{
    EmulatedUsbDevice& module = emulation.addModule(0x1234, 0x13);
    ASSERT_EQ(open("00001234"), aErrNone);
    module.stallIn();
    uint8_t byte = 0;
    EXPECT_EQ(tsusb_get_from_device(device, &byte), aErrNotReady);
    EXPECT_EQ(module.clearHalts(0x81), 1u);
    module.sendToHost({0x5A});
    ASSERT_EQ(readByte(&byte), aErrNone);
    EXPECT_EQ(byte, 0x5A);
    EXPECT_EQ(device->failureCount, 0);
}

TEST_F(TsusbTest, AnEndpointThatNeverAnswersEndsTheWriteWithAWriteError)
{
    EmulatedUsbDevice& module = emulation.addModule(0x1234, 0x13);
    ASSERT_EQ(open("00001234"), aErrNone);
    module.refuseOut(true);
    uint8_t data[10] = {};
    EXPECT_EQ(tsusb_write_to_device(device, data, sizeof data), aErrWrite);
    EXPECT_EQ(device->state, tsusbStateOpen);
    EXPECT_EQ(device->failureCount, 0);
    module.refuseOut(false);
    EXPECT_EQ(tsusb_write_to_device(device, data, sizeof data), aErrNone);
    EXPECT_EQ(module.hostBytes().size(), sizeof data);
}

TEST_F(TsusbTest, BytesThatWentOutBeforeATimeOutAreNotSentTwice)
{
    EmulatedUsbDevice& module = emulation.addModule(0x1234, 0x13, true);
    ASSERT_EQ(open("00001234"), aErrNone);
    module.acceptPartially(100);
    std::vector<uint8_t> data = _counting(300);
    ASSERT_EQ(tsusb_write_to_device(device, data.data(), 300), aErrNone);
    EXPECT_EQ(module.hostBytes(), data);
}

TEST_F(TsusbTest, ADeviceThatVanishesFailsTheRecordWithoutHanging)
{
    EmulatedUsbDevice& module = emulation.addModule(0x1234, 0x13);
    ASSERT_EQ(open("00001234"), aErrNone);
    module.unplug();
    uint8_t byte = 0;
    aErr result = aErrNone;
    int reads = 0;
    while (result != aErrIO && reads < 10) {
        result = tsusb_get_from_device(device, &byte);
        ++reads;
    }
    EXPECT_EQ(result, aErrIO);
    EXPECT_EQ(reads, 5);
    EXPECT_EQ(tsusb_write_to_device(device, &byte, 1), aErrIO);
    EXPECT_EQ(tsusb_close_tessarine_device(device), aErrNone);
}

TEST_F(TsusbTest, AReadWithNothingToGetTimesOutAsNotReady)
{
    emulation.addModule(0x1234, 0x13);
    ASSERT_EQ(open("00001234"), aErrNone);
    uint8_t byte = 0;
    EXPECT_EQ(tsusb_get_from_device(device, &byte), aErrNotReady);
    EXPECT_EQ(device->failureCount, 0);
}

TEST_F(TsusbTest, TheSharedContextIsCreatedOnceAndRenewedAfterExit)
{
    libusb_context* first = Tessarine_libusb_context();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(Tessarine_libusb_init(), first);
    Tessarine_libusb_exit();
    EXPECT_NE(Tessarine_libusb_context(), nullptr);
}

// ---- kernel-driver nodes --------------------------------------------------

TEST_F(TsusbTest, KernelNodeCarriesBytesBothWays)
{
    EXPECT_FALSE(tsusb_is_kernel_driver_installed(0x0000ABCD));
    EmulatedKernelNode& node = emulation.addKernelNode(0x0000ABCD);
    EXPECT_TRUE(tsusb_is_kernel_driver_installed(0x0000ABCD));
    EXPECT_FALSE(tsusb_is_kernel_driver_installed(0x0000ABCE));

    device = tsusb_create_usb(false);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->mode, tsusbModeKernel);
    ASSERT_EQ(tsusb_open_tessarine_device(device, "0000ABCD"), aErrNone);
    std::vector<uint8_t> data = _counting(600);
    ASSERT_EQ(tsusb_write_to_device(device, data.data(), 600), aErrNone);
    EXPECT_EQ(node.hostBytes(), data);

    uint8_t byte = 0;
    EXPECT_EQ(tsusb_get_from_device(device, &byte), aErrNotReady);
    node.sendToHost({1, 2});
    ASSERT_EQ(readByte(&byte), aErrNone);
    EXPECT_EQ(byte, 1);
    ASSERT_EQ(readByte(&byte), aErrNone);
    EXPECT_EQ(byte, 2);

    node.unplug();
    EXPECT_EQ(tsusb_get_from_device(device, &byte), aErrIO);
    EXPECT_EQ(tsusb_write_to_device(device, &byte, 1), aErrIO);
    EXPECT_EQ(tsusb_close_tessarine_device(device), aErrNone);
    EXPECT_EQ(device->state, tsusbStateClosed);
    EXPECT_EQ(tsusb_write_to_kernel_device(device, &byte, 1), aErrMode);
}

// As a driver's node opened without blocking: a read with nothing queued fails at
// once (EAGAIN), poll() says readable exactly while bytes wait, writes go between.
TEST_F(TsusbTest, KernelNodeNeverMakesTheHostWait)
{
    EmulatedKernelNode& node = emulation.addKernelNode(0x0000ABCD);
    int fd = ::open("/dev/tessarine.0000ABCD", O_RDWR | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    // Bytes queued before the step, and what a read of 16 bytes then returns.
    const std::pair<std::vector<uint8_t>, ssize_t> steps[] = {{{}, -1}, {{7, 8, 9}, 3}, {{}, -1}, {{1}, 1}};
    std::vector<uint8_t> written;
    for (const auto& [queued, got] : steps) {
        node.sendToHost(queued);
        pollfd ready{fd, POLLIN, 0};
        EXPECT_EQ(poll(&ready, 1, 0), got > 0 ? 1 : 0);
        uint8_t buffer[16];
        errno = 0;
        EXPECT_EQ(read(fd, buffer, sizeof buffer), got);
        EXPECT_TRUE(got > 0 || errno == EAGAIN) << errno;
        written.push_back(static_cast<uint8_t>(written.size()));
        EXPECT_EQ(write(fd, &written.back(), 1), 1);
    }
    EXPECT_EQ(node.hostBytes(), written);
    close(fd);
}

TEST_F(TsusbTest, KernelModeWithoutNodeFails)
{
    device = tsusb_create_usb(false);
    EXPECT_EQ(tsusb_open_tessarine_device(device, "0000ABCD"), aErrIO);
    uint8_t byte = 0;
    EXPECT_EQ(tsusb_get_from_device(device, &byte), aErrMode);
    EXPECT_EQ(tsusb_write_to_device(device, &byte, 1), aErrMode);
    USBDevice* libusbRecord = tsusb_create_usb(true);
    EXPECT_EQ(tsusb_write_to_kernel_device(libusbRecord, &byte, 1), aErrMode);
    tsusb_destroy(&libusbRecord);
}

// ---- enumeration and bad devices --------------------------------------------

struct Found {
    uint32_t serialNumber;
    uint16_t productId;
    bool operator==(const Found&) const = default;
};

bool _collect(uint32_t serialNumber, uint16_t productId, void* ref)
{
    static_cast<std::vector<Found>*>(ref)->push_back({serialNumber, productId});
    return true;
}

bool _first_only(uint32_t serialNumber, uint16_t productId, void* ref)
{
    _collect(serialNumber, productId, ref);
    return false;
}

TEST_F(TsusbTest, EnumeratesModulesAndSkipsEverythingElse)
{
    std::vector<Found> found;
    EXPECT_EQ(tsusb_enumerate_modules(_collect, &found), 0u);
    EXPECT_TRUE(found.empty());

    emulation.addModule(0x1A2B3C4D, 0x13);
    emulation.addModule(0x40F5849A, 0x11, true);
    UsbDeviceConfig other = moduleConfig(0x1111, 0x05);
    other.vendorId = 0x1234;
    emulation.addDevice(other);
    UsbDeviceConfig shortSerial = moduleConfig(0x2222, 0x05);
    shortSerial.serial = "2222";
    emulation.addDevice(shortSerial);
    UsbDeviceConfig noSerial = moduleConfig(0x3333, 0x05);
    noSerial.serial.reset();
    emulation.addDevice(noSerial);
    UsbDeviceConfig notHex = moduleConfig(0x4444, 0x05);
    notHex.serial = "0000444G";
    emulation.addDevice(notHex);
    UsbDeviceConfig garbage = moduleConfig(0x5555, 0x05);
    garbage.rawDescriptors = std::vector<uint8_t>{0x12, 0x01, 0xFF, 0x24};
    emulation.addDevice(garbage);

    EXPECT_EQ(tsusb_enumerate_modules(_collect, &found), 2u);
    std::sort(found.begin(), found.end(), [](auto& a, auto& b) { return a.serialNumber < b.serialNumber; });
    EXPECT_EQ(found, (std::vector<Found>{{0x1A2B3C4D, 0x13}, {0x40F5849A, 0x11}}));

    found.clear();
    EXPECT_EQ(tsusb_enumerate_modules(_first_only, &found), 1u);
    EXPECT_EQ(found.size(), 1u);
    EXPECT_EQ(tsusb_enumerate_modules(nullptr, nullptr), 0u);
}

TEST_F(TsusbTest, GarbageDescriptorsAreNeverOpened)
{
    UsbDeviceConfig garbage = moduleConfig(0x1234, 0x05);
    garbage.rawDescriptors = std::vector<uint8_t>(40, 0xFF);
    emulation.addDevice(garbage);
    UsbDeviceConfig truncated = moduleConfig(0x1234, 0x05);
    std::vector<uint8_t> bytes = deviceDescriptor(truncated);
    std::vector<uint8_t> configuration = configurationDescriptor(truncated);
    bytes.insert(bytes.end(), configuration.begin(), configuration.begin() + 12);
    truncated.rawDescriptors = bytes;
    emulation.addDevice(truncated);
    UsbDeviceConfig zeroPacket = moduleConfig(0x1234, 0x05);
    zeroPacket.maxPacket = 0;
    emulation.addDevice(zeroPacket);
    aErr result = open("00001234");
    EXPECT_TRUE(result == aErrNotFound || result == aErrConfiguration) << result;
    EXPECT_NE(device->state, tsusbStateOpen);
}

}  // namespace
