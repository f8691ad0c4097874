// "updater -N" and "updater -U -t RECOVER" against a simulated i.MX RT boot
// ROM, over its USB HID function (-s USB) and over its UART (a pseudo-
// terminal): the recovery loader goes into the ROM's RAM, the jump starts it,
// the loader enumerates on the emulated USB bus as 0xDEADDEAD, gives the
// chip's identifier and takes the firmware.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/aVersion.h"
#include "firmware/BirdWriter.h"
#include "sim/SdpRom.h"
#include "sim/SdpRomSerial.h"
#include "sim/UpdateServer.h"
#include "sim/usb/EmulatedHidRom.h"
#include "sim/usb/LoaderOnJump.h"
#include "support/CodeBytes.h"
#include "support/Process.h"
#include "support/TempDir.h"
#include "support/TextLines.h"

using testsupport::HasLine;
using testsupport::ProcessResult;
using namespace usbemu;

namespace {

constexpr uint32_t DEVICE = 0x7E57AB1E;
constexpr uint32_t LOADER_BUILD = 77;
constexpr uint32_t FIRMWARE_BUILD = 1500;
const char* const FINGERPRINT = "44444444 33333333 22222222 11111111";  // the loader's option 39, subindex 3..0
using Image = std::map<uint32_t, std::vector<uint8_t>>;

std::string Hex(uint32_t value)
{
    char text[9];
    snprintf(text, sizeof text, "%08X", value);
    return text;
}

// The ROM's side of the run: where it is reached, and what it was given.
class Rom {
public:
    virtual ~Rom() = default;
    virtual std::string Port() const = 0;
    virtual Sim::SdpRom& Model() = 0;
};

class HidRom : public Rom {
public:
    HidRom(UsbEmulation& emulation, LoaderOnJump& onJump) : rom_(emulation)
    {
        EmulatedUsbDevice* device = &rom_.device();
        onJump.setLeaveRom([device] { device->unplug(); });
        rom_.rom().SetJumpHook([&onJump](uint32_t address) { onJump.jumped(address); });
    }
    std::string Port() const override { return "USB"; }
    Sim::SdpRom& Model() override { return rom_.rom(); }

private:
    EmulatedHidRom rom_;
};

class SerialRom : public Rom {
public:
    explicit SerialRom(LoaderOnJump& onJump) : model_(std::make_shared<Sim::SdpRom>()), line_(model_)
    {
        model_->SetJumpHook([&onJump](uint32_t address) { onJump.jumped(address); });
        std::string error;
        started_ = line_.Start(error);
        EXPECT_TRUE(started_) << error;
    }
    std::string Port() const override { return line_.SlavePath(); }
    Sim::SdpRom& Model() override { return *model_; }

private:
    std::shared_ptr<Sim::SdpRom> model_;
    Sim::SdpRomSerial line_;
    bool started_ = false;
};

class ImxRecovery : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override
    {
        loader[0x20000000] = testsupport::Code(2500, 21);
        loader[0x20002000] = testsupport::Code(700, 22);
        firmware[0x60000000] = testsupport::Code(9000, 23);
        firmware[0x60004000] = testsupport::Code(1200, 24);
        Sim::ModuleConfig config = LoaderOnJump::DefaultLoader();
        config.rebootPauseMs = 300;
        config.newBuild = FIRMWARE_BUILD;
        onJump = std::make_unique<LoaderOnJump>(emulation, config);
        if (GetParam())
            rom = std::make_unique<HidRom>(emulation, *onJump);
        else
            rom = std::make_unique<SerialRom>(*onJump);
    }

    // The server: the recovery loader as the unknown device's latest build,
    // and the device and build it names for the loader's fingerprint.
    void StartServer(bool generic = false)
    {
        BirdWriter loaderImage;
        for (const auto& [address, code] : loader)
            loaderImage.AddLoader(address, code);
        loaderImage.AddStartAddress(0x20000400 + 0x100).AddInfo(LOADER_BUILD, "1.0.0", 0xDEADDEAD, "HubC4");
        Write("DEADDEAD", LOADER_BUILD, loaderImage.FileBytes());

        BirdWriter firmwareImage;
        for (const auto& [address, code] : firmware)
            firmwareImage.AddFirmware(address, code);
        if (generic)
            firmwareImage.AddOffsets(0x60000100, 0);
        firmwareImage.AddInfo(FIRMWARE_BUILD, "3.0.0", generic ? 0 : DEVICE, "HubC4");
        Write(Hex(DEVICE), FIRMWARE_BUILD, firmwareImage.FileBytes());

        ASSERT_TRUE(mirror.WriteFile("server.conf", std::string("recover ") + FINGERPRINT + " " + Hex(DEVICE) + " " +
                                                        std::to_string(FIRMWARE_BUILD) + "\n"));
        Sim::UpdateServerOptions options;
        options.firmware_dir = mirror.path();
        server = std::make_unique<Sim::UpdateServer>(options);
        std::string error;
        ASSERT_TRUE(server->Start(error)) << error;
        url = server->Url();
    }

    void Write(const std::string& serial, uint32_t build, const std::vector<uint8_t>& bytes)
    {
        std::filesystem::create_directories(mirror / serial);
        ASSERT_TRUE(BirdWriter::WriteBytes(mirror / (serial + "/" + std::to_string(build) + ".bird"), bytes));
    }

    ProcessResult Updater(std::vector<std::string> args)
    {
        args.insert(args.end(), {"-s", rom->Port(), "-i", store.path(), "-u", url});
        testsupport::RunOptions options;
        options.env = emulation.childEnvironment();
        return testsupport::RunProcess(
            [&] {
                std::vector<std::string> argv = {testsupport::UpdaterPath()};
                argv.insert(argv.end(), args.begin(), args.end());
                return argv;
            }(),
            options);
    }

    // Every loader block landed at its address, in order.
    void ExpectLoaderInRam()
    {
        std::vector<Sim::SdpRom::Segment> writes = rom->Model().Writes();
        ASSERT_EQ(writes.size(), loader.size());
        size_t i = 0;
        for (const auto& [address, code] : loader) {
            EXPECT_EQ(writes[i].address, address);
            EXPECT_TRUE(writes[i].bytes == code) << "loader block at " << Hex(address);
            ++i;
        }
    }

    Image loader, firmware;
    UsbEmulation emulation;
    std::unique_ptr<LoaderOnJump> onJump;
    std::unique_ptr<Rom> rom;
    testsupport::TempDir mirror, store;
    std::unique_ptr<Sim::UpdateServer> server;
    std::string url = "http://127.0.0.1:1/cgi/u";
};

std::string Transport(const ::testing::TestParamInfo<bool>& info)
{
    return info.param ? "Hid" : "Serial";
}

}  // namespace

// The whole recovery: loader into RAM, jump to its start address, the loader
// on USB identified, the server's build for it downloaded and sent.
TEST_P(ImxRecovery, RecoversThroughTheLoaderThatAppearsOnUsb)
{
    StartServer();
    ProcessResult result = Updater({"-U", "-t", "RECOVER"});
    ASSERT_EQ(result.exit_status, 0) << result.out << result.err;
    ExpectLoaderInRam();
    EXPECT_EQ(rom->Model().Jumps(), (std::vector<uint32_t>{0x20000500}));
    auto module = onJump->module();
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(module->FlashImages(), firmware);
    EXPECT_NE(result.out.find("Update time: "), std::string::npos) << result.out;
    EXPECT_TRUE(HasLine(result.out, "Transferred 2 blocks, 10208 total bytes")) << result.out;
    // The loader came from the unknown device's downloads; the firmware is
    // stored under the device the server named.
    EXPECT_FALSE(testsupport::ReadFile(store / ("updater/DEADDEAD/" + std::to_string(LOADER_BUILD) + ".bird")).empty());
    EXPECT_FALSE(
        testsupport::ReadFile(store / ("updater/" + Hex(DEVICE) + "/" + std::to_string(FIRMWARE_BUILD) + ".bird"))
            .empty());
    // It reboots into the firmware.
    for (int i = 0; i < 300 && module->Stats().loaderRunning; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(module->Stats().build, FIRMWARE_BUILD);
}

TEST_P(ImxRecovery, FingerprintComesFromTheLoaderWhichIsThenReset)
{
    StartServer();
    ProcessResult result = Updater({"-N"});
    EXPECT_EQ(result.exit_status, 0) << result.out << result.err;
    EXPECT_TRUE(HasLine(result.out, std::string("[ ") + FINGERPRINT + " ]")) << result.out;
    ExpectLoaderInRam();
    ASSERT_NE(onJump->module(), nullptr);
    EXPECT_GE(onJump->module()->Stats().restarts, 1u) << "reset after identification";
}

// Refusals before anything reaches the chip's flash.
TEST_P(ImxRecovery, AGivenFileNeedsTheDevicesSerialNumber)
{
    std::string image = mirror / "given.bird";
    ASSERT_TRUE(BirdWriter::WriteBytes(image, BirdWriter().AddLoader(0x20000000, loader[0x20000000]).FileBytes()));
    ProcessResult result = Updater({"-U", "-t", "RECOVER", "-f", image});
    EXPECT_EQ(result.exit_status, 1) << result.out << result.err;
    EXPECT_TRUE(HasLine(result.err, "Add serial number or remove the bird filename to use a default recovery image."))
        << result.err;
    EXPECT_TRUE(rom->Model().Writes().empty());
}

TEST_P(ImxRecovery, AGenericImageIsRefusedBeforeAnythingIsWritten)
{
    StartServer(true);
    ProcessResult result = Updater({"-U", "-t", "RECOVER"});
    EXPECT_EQ(result.exit_status, 1) << result.out << result.err;
    EXPECT_TRUE(HasLine(result.err, "Updater does not support offline recovery")) << result.err;
    EXPECT_EQ(result.out.find("Update time: "), std::string::npos) << result.out;
    ASSERT_NE(onJump->module(), nullptr);
    EXPECT_TRUE(onJump->module()->FlashImages().empty());
}

INSTANTIATE_TEST_SUITE_P(Recovery, ImxRecovery, ::testing::Values(true, false), Transport);

// A loader that never enumerates ends the recovery with a message within the
// bounded wait; once the chip hands over, the same recovery succeeds. The
// given file holds the loader and the firmware; the loader enumerates as the
// unknown device although the serial number was given.
TEST(ImxRecoveryFault, ALoaderThatNeverAppearsFailsThenARetrySucceeds)
{
    UsbEmulation emulation;
    Sim::ModuleConfig config = LoaderOnJump::DefaultLoader();
    config.rebootPauseMs = 300;
    LoaderOnJump onJump(emulation, config);
    EmulatedHidRom rom(emulation);
    testsupport::TempDir store;
    std::vector<uint8_t> code = testsupport::Code(3000, 6);
    std::string image = store / "recovery.bird";
    ASSERT_TRUE(BirdWriter::WriteBytes(image, BirdWriter()
                                                  .AddLoader(0x20000000, testsupport::Code(1000, 5))
                                                  .AddFirmware(0x60000000, code)
                                                  .AddInfo(2, "3.0.0", DEVICE, "HubC4")
                                                  .FileBytes()));
    testsupport::RunOptions options;
    options.env = emulation.childEnvironment();
    std::vector<std::string> argv = {testsupport::UpdaterPath(),
                                     "-U",
                                     "-t",
                                     "RECOVER",
                                     "-s",
                                     "USB",
                                     "-d",
                                     Hex(DEVICE),
                                     "-f",
                                     image,
                                     "-i",
                                     store.path(),
                                     "-u",
                                     "http://127.0.0.1:1/cgi/u"};

    auto start = std::chrono::steady_clock::now();
    ProcessResult result = testsupport::RunProcess(argv, options);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(result.exit_status, 1) << result.out << result.err;
    EXPECT_TRUE(HasLine(result.err, "The recovery loader did not appear on USB")) << result.err;
    EXPECT_TRUE(HasLine(result.err, "Could not get Device Identifier")) << result.err;
    EXPECT_LT(seconds, 40.0);
    EXPECT_EQ(rom.rom().Jumps(), (std::vector<uint32_t>{0x20000400})) << "the default start address";

    rom.rom().SetJumpHook([&onJump](uint32_t address) { onJump.jumped(address); });
    result = testsupport::RunProcess(argv, options);
    EXPECT_EQ(result.exit_status, 0) << result.out << result.err;
    ASSERT_NE(onJump.module(), nullptr);
    EXPECT_EQ(onJump.module()->FlashImages(), (Image{{0x60000000, code}}));
}

// "--verify" after an i.MX recovery: a loader that knows the device's serial
// number enumerates as it, and the module it reboots into comes back under it
// with the image's build. The record goes to standard output as JSON and to
// the history.
TEST(ImxRecoveryVerify, TheRebootedModuleIsFoundUnderItsSerialNumber)
{
    UsbEmulation emulation;
    Sim::ModuleConfig config = LoaderOnJump::DefaultLoader();
    config.serialNumber = DEVICE;
    config.rebootPauseMs = 300;
    config.newVersion = aVersion_Pack(3, 0, 0);
    config.newBuild = FIRMWARE_BUILD;
    LoaderOnJump onJump(emulation, config);
    EmulatedHidRom rom(emulation);
    rom.rom().SetJumpHook([&onJump](uint32_t address) { onJump.jumped(address); });
    testsupport::TempDir store;
    std::string image = store / "recovery.bird";
    ASSERT_TRUE(BirdWriter::WriteBytes(image, BirdWriter()
                                                  .AddLoader(0x20000000, testsupport::Code(1000, 5))
                                                  .AddFirmware(0x60000000, testsupport::Code(3000, 6))
                                                  .AddInfo(FIRMWARE_BUILD, "3.0.0", DEVICE, "HubC4")
                                                  .FileBytes()));
    testsupport::RunOptions options;
    options.env = emulation.childEnvironment();
    ProcessResult result = testsupport::RunProcess(
        {testsupport::UpdaterPath(), "-U", "-t", "RECOVER", "-s", "USB", "-d", Hex(DEVICE), "-f", image, "--verify",
         "--json", "-i", store.path(), "-u", "http://127.0.0.1:1/cgi/u"},
        options);
    EXPECT_EQ(result.exit_status, 0) << result.out << result.err;
    EXPECT_TRUE(HasLine(result.err, "Verified: 7E57AB1E runs 3.0.0 (build 1500)")) << result.err;
    const std::string history = testsupport::ReadFile(store / "updater/history.jsonl");
    for (const std::string& text : {result.out, history}) {
        nlohmann::json record = nlohmann::json::parse(text, nullptr, false);
        ASSERT_TRUE(record.is_object()) << text;
        EXPECT_EQ(record["command"], "recover");
        EXPECT_EQ(record["serial"], "7E57AB1E");
        EXPECT_EQ(record["transport"], "USB");
        EXPECT_EQ(record["verified"], true);
        EXPECT_EQ(record["to"], nlohmann::json({{"version", "3.0.0"}, {"build", FIRMWARE_BUILD}}));
    }
}
