// "updater -U" over emulated USB when the module leaves the bus in the middle
// of the firmware and stays away longer than the attempts at a block last:
// the update fails, and the next run puts the firmware in. Runs in a private
// network namespace, since an update that misses the module on USB searches
// TCP/IP.
#include <gtest/gtest.h>

#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "common/aVersion.h"
#include "firmware/BirdWriter.h"
#include "sim/usb/UsbModuleHost.h"
#include "support/CodeBytes.h"
#include "support/PrivateNetwork.h"
#include "support/Process.h"
#include "support/TempDir.h"

using testsupport::Code;
using testsupport::ProcessResult;
using testsupport::ReadFile;
using namespace usbemu;

namespace {

const std::string SN = "40F5849A";
const std::string NO_SERVER = "http://127.0.0.1:1/cgi/u";
constexpr uint32_t LOADER_ADDRESS = 0x20000000;
constexpr uint32_t FIRMWARE_ADDRESS = 0x60000000;

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

class UsbUpdateFault : public ::testing::TestWithParam<UsbModuleHost::Access> {
protected:
    void SetUp() override
    {
        BirdWriter writer;
        writer.AddLoader(LOADER_ADDRESS, loader).AddFirmware(FIRMWARE_ADDRESS, firmware);
        writer.AddInfo(1001, "2.15.1", 0x40F5849A, "MeterSerial");
        ASSERT_TRUE(BirdWriter::WriteBytes(work / "fw.bird", writer.FileBytes()));
    }

    UsbModuleHost& Add(const std::vector<Sim::Fault>& faults = {})
    {
        Sim::ModuleConfig config;
        config.serialNumber = 0x40F5849A;
        config.model = 17;
        config.version = aVersion_Pack(2, 15, 0);
        config.build = 1000;
        config.newVersion = aVersion_Pack(2, 15, 1);
        config.newBuild = 1001;
        config.loadPauseMs = 200;
        config.rebootPauseMs = 200;
        config.dropPauseMs = 8000;
        config.flashDir = work / "flash";
        config.faults = faults;
        host = std::make_unique<UsbModuleHost>(emulation, std::make_shared<Sim::VirtualModule>(config), GetParam());
        return *host;
    }

    ProcessResult Updater(const std::vector<std::string>& args)
    {
        std::vector<std::string> argv = {testsupport::UpdaterPath(), "-i", store.path(), "-u", NO_SERVER};
        argv.insert(argv.end(), args.begin(), args.end());
        testsupport::RunOptions options;
        options.env = emulation.childEnvironment();
        return testsupport::RunProcess(argv, options);
    }

    // The updater returns once the link dropped at REBOOT; the module comes
    // back on the bus a moment later. Safety net of 20 s, not a speed bound.
    static bool AwaitReplugs(UsbModuleHost& module, unsigned count)
    {
        for (int i = 0; i < 2000 && module.replugs() < count; ++i)
            usleep(10000);
        return module.replugs() >= count;
    }

    std::string Flash(uint32_t address) const
    {
        char name[32];
        snprintf(name, sizeof name, "flash/%s-%08X.bin", SN.c_str(), address);
        return ReadFile(work / name);
    }

    std::vector<uint8_t> loader = Code(700, 1);
    std::vector<uint8_t> firmware = Code(5000, 2);
    testsupport::TempDir store;
    testsupport::TempDir work;
    UsbEmulation emulation;
    std::unique_ptr<UsbModuleHost> host;
};

}  // namespace

TEST_P(UsbUpdateFault, ALinkLostForGoodDuringTheFirmwareFailsAndTheNextRunSucceeds)
{
    PRIVATE_NETWORK_OR_RERUN();
    Sim::Fault drop;
    drop.kind = Sim::FaultKind::DropAtStep;
    drop.step = Sim::UpgradeStep::Write;
    drop.anyStep = false;
    drop.skip = 2;
    UsbModuleHost& module = Add({drop});

    ProcessResult failed = Updater({"-U", "-d", SN, "-f", work / "fw.bird"});
    EXPECT_EQ(failed.exit_status, 1) << failed.out << failed.err;
    EXPECT_FALSE(Contains(failed.out, "Update time")) << failed.out;

    // The module is away for its drop pause; then it takes the update.
    ProcessResult next;
    for (int attempt = 0; attempt < 20; ++attempt) {
        next = Updater({"-U", "-d", SN, "-f", work / "fw.bird"});
        if (!Contains(next.err, "Failed to connect to module"))
            break;
    }
    EXPECT_EQ(next.exit_status, 0) << next.out << next.err;
    EXPECT_TRUE(Flash(FIRMWARE_ADDRESS) == std::string(firmware.begin(), firmware.end()));
    EXPECT_TRUE(AwaitReplugs(module, module.replugs() + 1));
    EXPECT_EQ(module.module().Stats().build, 1001u);
}

// Through libusb, and through the kernel driver's node.
INSTANTIATE_TEST_SUITE_P(Access, UsbUpdateFault,
                         ::testing::Values(UsbModuleHost::Access::Libusb, UsbModuleHost::Access::KernelNode));
