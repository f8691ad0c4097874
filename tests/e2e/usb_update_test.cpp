// "updater -U" over emulated USB: the module restarts into its loader after
// LOAD and into the new firmware after REBOOT by leaving the bus and coming
// back, and the updater finds it again. Each test runs in a private network
// namespace, since an update that misses the module on USB searches TCP/IP.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <thread>
#include <string>
#include <vector>

#include "common/aVersion.h"
#include "firmware/BirdWriter.h"
#include "sim/usb/UsbModuleHost.h"
#include "support/CodeBytes.h"
#include "support/PrivateNetwork.h"
#include "support/Process.h"
#include "support/TempDir.h"
#include "support/TextLines.h"

using testsupport::Code;
using testsupport::ProcessResult;
using namespace usbemu;

namespace {

constexpr uint32_t SERIAL = 0x40F5849A;
constexpr uint32_t LOADER_ADDRESS = 0x20000000;
constexpr uint32_t FIRMWARE_ADDRESS = 0x60000000;
constexpr uint32_t SECOND_ADDRESS = 0x60010000;
const std::string NO_SERVER = "http://127.0.0.1:1/cgi/u";

class UsbUpdate : public ::testing::Test {
protected:
    void SetUp() override
    {
        code[LOADER_ADDRESS] = Code(600, 1);
        code[FIRMWARE_ADDRESS] = Code(5000, 2);
        code[SECOND_ADDRESS] = Code(700, 3);
        BirdWriter writer;
        writer.AddLoader(LOADER_ADDRESS, code[LOADER_ADDRESS])
            .AddFirmware(FIRMWARE_ADDRESS, code[FIRMWARE_ADDRESS])
            .AddFirmware(SECOND_ADDRESS, code[SECOND_ADDRESS])
            .AddInfo(1200, "2.16.0", SERIAL, "MeterSerial");
        image = store / "image.bird";
        std::string error;
        ASSERT_TRUE(BirdWriter::WriteBytes(image, writer.FileBytes(), &error)) << error;
    }

    Sim::ModuleConfig Module() const
    {
        Sim::ModuleConfig config;
        config.serialNumber = SERIAL;
        config.model = 17;
        config.loadPauseMs = 400;
        config.rebootPauseMs = 400;
        config.newVersion = aVersion_Pack(2, 16, 0);
        config.newBuild = 1200;
        return config;
    }

    ProcessResult Updater(UsbEmulation& emulation, const std::vector<std::string>& args)
    {
        std::vector<std::string> argv = {testsupport::UpdaterPath(), "-i", store.path(), "-u", NO_SERVER};
        argv.insert(argv.end(), args.begin(), args.end());
        testsupport::RunOptions options;
        options.env = emulation.childEnvironment();
        return testsupport::RunProcess(argv, options);
    }

    testsupport::TempDir store;
    std::string image;
    std::map<uint32_t, std::vector<uint8_t>> code;
};

}  // namespace

TEST_F(UsbUpdate, UpdatesAModuleThatReEnumeratesAfterLoadAndReboot)
{
    PRIVATE_NETWORK_OR_RERUN();
    // Full and high speed through libusb, and through the kernel driver's node.
    for (auto access :
         {UsbModuleHost::Access::Libusb, UsbModuleHost::Access::LibusbHighSpeed, UsbModuleHost::Access::KernelNode}) {
        SCOPED_TRACE(static_cast<int>(access));
        UsbEmulation emulation;
        auto module = std::make_shared<Sim::VirtualModule>(Module());
        UsbModuleHost host(emulation, module, access);

        ProcessResult result = Updater(emulation, {"-U", "-d", "40F5849A", "-f", image});
        EXPECT_EQ(result.exit_status, 0) << result.out << result.err;
        EXPECT_NE(result.out.find("Update time: "), std::string::npos) << result.out;
        EXPECT_EQ(module->FlashImages(), code);
        // The module comes back on the bus with the new firmware.
        for (int i = 0; i < 300 && host.replugs() < 2; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(host.replugs(), 2u);
        Sim::ModuleStats stats = module->Stats();
        EXPECT_EQ(stats.restarts, 2u) << "LOAD and REBOOT";
        EXPECT_FALSE(stats.loaderRunning);
        EXPECT_EQ(stats.build, 1200u);
    }
}

TEST_F(UsbUpdate, UpdatesWithUeiByteStrings)
{
    PRIVATE_NETWORK_OR_RERUN();
    UsbEmulation emulation;
    auto module = std::make_shared<Sim::VirtualModule>(Module());
    UsbModuleHost host(emulation, module, UsbModuleHost::Access::LibusbHighSpeed);

    ProcessResult result = Updater(emulation, {"-U", "-d", "40F5849A", "-f", image, "-m", "1"});
    EXPECT_EQ(result.exit_status, 0) << result.out << result.err;
    EXPECT_EQ(module->FlashImages(), code);
    EXPECT_GT(module->Stats().upgrade.dataUeiStrings, 0u);
}

TEST_F(UsbUpdate, ASlowLoaderIsFoundAgainInAFreshLibusbContext)
{
    PRIVATE_NETWORK_OR_RERUN();
    UsbEmulation emulation;
    Sim::ModuleConfig config = Module();
    config.loadPauseMs = 4000;  // back only after a few reconnection attempts
    auto module = std::make_shared<Sim::VirtualModule>(config);
    UsbModuleHost host(emulation, module);

    ProcessResult result = Updater(emulation, {"-U", "-d", "40F5849A", "-f", image, "-X", "0x10000"});
    EXPECT_EQ(result.exit_status, 0) << result.out << result.err;
    EXPECT_NE(result.err.find("refreshing libusb context"), std::string::npos) << result.err;
    EXPECT_EQ(module->FlashImages(), code);
}

TEST_F(UsbUpdate, AModuleThatDoesNotComeBackFailsTheUpdate)
{
    PRIVATE_NETWORK_OR_RERUN();
    UsbEmulation emulation;
    Sim::ModuleConfig config = Module();
    config.loadPauseMs = 60000;  // the loader never comes up within the update's patience
    auto module = std::make_shared<Sim::VirtualModule>(config);
    UsbModuleHost host(emulation, module);

    ProcessResult result = Updater(emulation, {"-U", "-d", "40F5849A", "-f", image});
    EXPECT_EQ(result.exit_status, 1) << result.out << result.err;
    EXPECT_EQ(result.out.find("Update time: "), std::string::npos) << result.out;
    EXPECT_EQ(module->Stats().upgrade.writes, 0u);
}

// "--verify" over USB: the module that re-enumerates with the image's build
// confirms the update; one that comes back with its old build fails it, and
// the transfer is not recorded.
TEST_F(UsbUpdate, VerifyComparesTheBuildTheModuleComesBackWith)
{
    PRIVATE_NETWORK_OR_RERUN();
    for (bool takes : {true, false}) {
        SCOPED_TRACE(takes ? "takes the update" : "keeps its build");
        std::filesystem::remove_all(store / "updater/40F5849A");
        UsbEmulation emulation;
        Sim::ModuleConfig config = Module();
        if (!takes)
            config.newBuild = 0;
        auto module = std::make_shared<Sim::VirtualModule>(config);
        UsbModuleHost host(emulation, module, UsbModuleHost::Access::LibusbHighSpeed);

        ProcessResult result = Updater(emulation, {"-U", "-d", "40F5849A", "-f", image, "--verify"});
        EXPECT_EQ(result.exit_status, takes ? 0 : 1) << result.out << result.err;
        const std::string& said = takes ? result.out : result.err;
        EXPECT_TRUE(testsupport::HasLine(said, takes ? "Verified: 40F5849A runs 2.16.0 (build 1200)"
                                                     : "Update not confirmed: expected build 1200, 40F5849A runs "
                                                       "build 1000"))
            << said;
        const std::string settings = testsupport::ReadFile(store / "updater/40F5849A/.settings");
        EXPECT_EQ(settings.find("LATEST_TRANSFER=") != std::string::npos, takes) << settings;
    }
}
