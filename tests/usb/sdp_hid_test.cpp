// The SDP loader over USB HID (hidapi over libusb) against the simulated i.MX
// boot ROM on the USB emulation: images land where they were sent, the jump
// reaches the ROM, and a ROM that is absent, silent or talks nonsense ends
// every wait with the right result.
#include <gtest/gtest.h>

#include <chrono>

#include "recovery/HID_SDPLoader.h"
#include "recovery/SDPLoader.h"
#include "sim/usb/EmulatedHidRom.h"
#include "sim/usb/UsbBench.h"
#include "support/CodeBytes.h"

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

namespace {

double _secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

TEST(SDPLoaderHid, LoadsReadsTheFingerprintAndJumps)
{
    usbemu::UsbEmulation emulation;
    Sim::SdpRomConfig config;
    config.fingerprintLow = 0x76543210;
    config.fingerprintHigh = 0xFEDCBA98;
    usbemu::EmulatedHidRom rom(emulation, config);
    std::vector<uint32_t> hooked;
    rom.rom().SetJumpHook([&hooked](uint32_t address) { hooked.push_back(address); });

    SDPLoader loader;
    ASSERT_TRUE(loader.setLoader(new HID_SDPLoader(0x1FC9, 0x0130)));
    ASSERT_EQ(loader.init(), SDPLoader::SDP_OK);
    Bytes image = testsupport::Code(2500);
    EXPECT_EQ(loader.writeLoader(image, 0x20000000), SDPLoader::SDP_OK);
    uint64_t fingerprint = 0;
    EXPECT_EQ(loader.getFingerprint(fingerprint), SDPLoader::SDP_OK);
    loader.startLoader(0x20000400);

    EXPECT_EQ(rom.rom().Memory(0x20000000, image.size()), image);
    EXPECT_EQ(fingerprint, 0xFEDCBA9876543210ull);
    EXPECT_EQ(rom.rom().Jumps(), std::vector<uint32_t>{0x20000400});
    EXPECT_EQ(hooked, std::vector<uint32_t>{0x20000400});
    // Each packet is one report: commands of 17 bytes, data reports of up to 1025.
    std::vector<size_t> transfers = rom.device().outTransfers();
    std::vector<size_t> expected{17, 17, 1025, 1025, 453, 17, 17, 17, 17};
    EXPECT_EQ(transfers, expected);
}

TEST(SDPLoaderHid, NoRomOnTheBusFailsToOpen)
{
    usbemu::UsbEmulation emulation;
    emulation.addModule(0x40F5849A, 0x13);  // something else is plugged in
    SDPLoader loader;
    ASSERT_TRUE(loader.setLoader(new HID_SDPLoader(0x1FC9, 0x0130)));
    EXPECT_EQ(loader.init(), SDPLoader::SDP_OPEN_FAILED);
    EXPECT_EQ(loader.writeLoader(testsupport::Code(100), 0x20000000), SDPLoader::SDP_NO_ANSWER);
}

struct HidFaultCase {
    const char* name;
    const char* fault;
    int writeResult;
    size_t statusReports;  // error-status reports the ROM heard
};

class SDPLoaderHidFault : public ::testing::TestWithParam<HidFaultCase> {};

TEST_P(SDPLoaderHidFault, EndsWithTheFailureInBoundedTime)
{
    usbemu::UsbEmulation emulation;
    Sim::SdpRomConfig config;
    std::string error;
    ASSERT_TRUE(config.SetFault(GetParam().fault, error)) << error;
    usbemu::EmulatedHidRom rom(emulation, config);
    SDPLoader loader;
    ASSERT_TRUE(loader.setLoader(new HID_SDPLoader(0x1FC9, 0x0130)));
    ASSERT_EQ(loader.init(), SDPLoader::SDP_OK);
    auto start = Clock::now();
    EXPECT_EQ(loader.writeLoader(testsupport::Code(2500), 0x20000000), GetParam().writeResult);
    uint64_t fingerprint = 0;
    loader.getFingerprint(fingerprint);
    EXPECT_LT(_secondsSince(start), 20.0);
    EXPECT_GE(rom.rom().CommandCount(0x05), GetParam().statusReports);
    if (GetParam().writeResult == SDPLoader::SDP_NO_ANSWER) {
        EXPECT_EQ(rom.rom().CommandCount(0x04), 0u) << "nothing is written to a ROM that does not answer";
    }
}

INSTANTIATE_TEST_SUITE_P(Roms, SDPLoaderHidFault,
                         ::testing::Values(HidFaultCase{"Silent", "silent", SDPLoader::SDP_NO_ANSWER, 5},
                                           HidFaultCase{"Garbage", "garbage", SDPLoader::SDP_NO_ANSWER, 5},
                                           HidFaultCase{"StatusOnly", "status-only", SDPLoader::SDP_NO_ANSWER, 5},
                                           // One report more after each answer: 135 bytes are no response.
                                           HidFaultCase{"ExtraReport", "extra-bytes=64", SDPLoader::SDP_NO_ANSWER, 5},
                                           // A flood of reports is cut at the read limit and ends the wait.
                                           HidFaultCase{"Flood", "extra-bytes=100000", SDPLoader::SDP_NO_ANSWER, 1},
                                           HidFaultCase{"WriteIncomplete", "write-incomplete",
                                                        SDPLoader::SDP_NOT_COMPLETE, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

// usbrun's --sdp-rom: the ROM with its settings as the bench puts it on the bus.
TEST(SDPRomBench, PlugsTheRomWithItsFingerprintAndRefusesBadSettings)
{
    usbemu::UsbEmulation emulation;
    usbemu::UsbBench bench;
    std::string error;
    ASSERT_TRUE(bench.plan({{"sdp-rom", "fingerprint=0BADF00D:C0FFEE01", {}}}, error)) << error;
    bench.plug(emulation, {});
    EXPECT_EQ(bench.describe(), std::vector<std::string>{"sdp-rom 1FC9:0130 hid"});
    {
        SDPLoader loader;
        ASSERT_TRUE(loader.setLoader(new HID_SDPLoader(0x1FC9, 0x0130)));
        ASSERT_EQ(loader.init(), SDPLoader::SDP_OK);
        uint64_t fingerprint = 0;
        EXPECT_EQ(loader.getFingerprint(fingerprint), SDPLoader::SDP_OK);
        EXPECT_EQ(fingerprint, 0xC0FFEE010BADF00Dull);
    }
    bench.unplug();

    const std::pair<const char*, const char*> refused[] = {{"fingerprint=0BADF00D", "expected LOW:HIGH"},
                                                           {"fingerprint=XYZ:1", "expected LOW:HIGH"},
                                                           {"fingerprint=1:123456789", "expected LOW:HIGH"},
                                                           {"fault=loud", "unknown fault loud"},
                                                           {"serial=1", "unknown key serial"},
                                                           {"fingerprint", "is not key=value"}};
    for (const auto& [settings, message] : refused) {
        usbemu::UsbBench wrong;
        EXPECT_FALSE(wrong.plan({{"sdp-rom", settings, {}}}, error)) << settings;
        EXPECT_NE(error.find(message), std::string::npos) << settings << ": " << error;
    }
}
