// The SDP loader's HID transport over hidapi's hidraw backend (this executable
// links hidapi-hidraw instead of hidapi-libusb) against the simulated i.MX boot
// ROM behind an emulated /dev/hidraw0.
#include <gtest/gtest.h>

#include <chrono>

#include "recovery/HID_SDPLoader.h"
#include "recovery/SDPLoader.h"
#include "sim/SdpRom.h"
#include "sim/usb/EmulatedHidRom.h"
#include "sim/usb/EmulatedHidraw.h"
#include "support/CodeBytes.h"

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

namespace {

// The ROM behind a hidraw node: each report written goes to the model, its
// answers come back as input reports.
struct HidrawRom {
    explicit HidrawRom(usbemu::UsbEmulation& emulation, Sim::SdpRomConfig config = {})
        : rom(std::make_shared<Sim::SdpRom>(config)), node(emulation.addHidraw(usbemu::sdpRomConfig()))
    {
        auto model = rom;
        auto* device = &node;
        node.setReceiver([model, device](const uint8_t* data, size_t length) {
            for (const Bytes& report : model->HidReport(data, length))
                device->sendReport(report);
        });
    }
    std::shared_ptr<Sim::SdpRom> rom;
    usbemu::EmulatedHidraw& node;
};

}  // namespace

TEST(SDPLoaderHidraw, LoadsReadsTheFingerprintAndJumps)
{
    usbemu::UsbEmulation emulation;
    Sim::SdpRomConfig config;
    config.fingerprintLow = 0x13579BDF;
    config.fingerprintHigh = 0x2468ACE0;
    HidrawRom rom(emulation, config);

    SDPLoader loader;
    ASSERT_TRUE(loader.setLoader(new HID_SDPLoader(0x1FC9, 0x0130)));
    ASSERT_EQ(loader.init(), SDPLoader::SDP_OK);
    Bytes image = testsupport::Code(2500);
    EXPECT_EQ(loader.writeLoader(image, 0x20000000), SDPLoader::SDP_OK);
    uint64_t fingerprint = 0;
    EXPECT_EQ(loader.getFingerprint(fingerprint), SDPLoader::SDP_OK);
    loader.startLoader(0x20000400);

    EXPECT_EQ(rom.rom->Memory(0x20000000, image.size()), image);
    EXPECT_EQ(fingerprint, 0x2468ACE013579BDFull);
    EXPECT_EQ(rom.rom->Jumps(), std::vector<uint32_t>{0x20000400});
    EXPECT_EQ(rom.node.writes(), (std::vector<size_t>{17, 17, 1025, 1025, 453, 17, 17, 17, 17}));
}

TEST(SDPLoaderHidraw, SilentRomEndsWithNoAnswerAfterFiveAttempts)
{
    usbemu::UsbEmulation emulation;
    Sim::SdpRomConfig config;
    config.fault = Sim::SdpRomFault::Silent;
    HidrawRom rom(emulation, config);
    SDPLoader loader;
    ASSERT_TRUE(loader.setLoader(new HID_SDPLoader(0x1FC9, 0x0130)));
    ASSERT_EQ(loader.init(), SDPLoader::SDP_OK);
    auto start = Clock::now();
    EXPECT_EQ(loader.writeLoader(Bytes(100, 1), 0x20000000), SDPLoader::SDP_NO_ANSWER);
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 20.0);
    EXPECT_EQ(rom.rom->CommandCount(0x05), 5u);
    EXPECT_EQ(rom.node.writes(), std::vector<size_t>(5, 17));
}
