// "updater -D" against virtual modules on the emulated USB bus: this test
// process hosts the modules (umockdev in front of the real libusb of the
// updater it starts) and runs the updater with the emulation's environment.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "common/aVersion.h"
#include "sim/usb/UsbModuleHost.h"
#include "support/PrivateNetwork.h"
#include "support/Process.h"
#include "support/TempDir.h"
#include "support/TextLines.h"
#include "support/VmoduleProcess.h"

using testsupport::HasLine;
using testsupport::HasLineMatching;
using testsupport::ProcessResult;
using namespace usbemu;

namespace {

const std::string LOCAL_URL = "http://127.0.0.1:1/cgi/u";
const std::string USB_HEADER = "    Device    Module   Router  Model          Firmware Version (Build)    Device Name";

Sim::ModuleConfig Module(uint32_t serialNumber, uint8_t model, uint8_t address, const std::string& name)
{
    Sim::ModuleConfig config;
    config.serialNumber = serialNumber;
    config.model = model;
    config.moduleAddress = address;
    config.version = aVersion_Pack(2, 15, 0);
    config.build = 1000;
    config.name = name;
    return config;
}

class UsbDiscover : public ::testing::Test {
protected:
    ProcessResult Updater(const std::vector<std::string>& args)
    {
        std::vector<std::string> argv = {testsupport::UpdaterPath(), "-i", store.path(), "-u", LOCAL_URL};
        argv.insert(argv.end(), args.begin(), args.end());
        testsupport::RunOptions options;
        options.env = emulation.childEnvironment();
        return testsupport::RunProcess(argv, options);
    }

    UsbModuleHost& Add(const Sim::ModuleConfig& config, UsbModuleHost::Access access = UsbModuleHost::Access::Libusb)
    {
        hosts.push_back(
            std::make_unique<UsbModuleHost>(emulation, std::make_shared<Sim::VirtualModule>(config), access));
        return *hosts.back();
    }

    testsupport::TempDir store;
    UsbEmulation emulation;
    std::vector<std::unique_ptr<UsbModuleHost>> hosts;
};

}  // namespace

TEST_F(UsbDiscover, ListsEveryModuleWithItsModelFromTheProductId)
{
    Add(Module(0x40F5849A, 17, 2, "Bench supply"));
    Add(Module(0x0000ABCD, 5, 6, "Hub on the desk"), UsbModuleHost::Access::LibusbHighSpeed);
    Add(Module(0x0BADCAFE, 19, 4, "Driver bound"), UsbModuleHost::Access::KernelNode);

    ProcessResult result = Updater({"-D", "-t", "USB"});
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_TRUE(HasLine(result.out, "Searching for Tessarine devices")) << result.out;
    EXPECT_TRUE(HasLine(result.out, "Discovered Devices: (USB)")) << result.out;
    EXPECT_TRUE(HasLine(result.out, USB_HEADER)) << result.out;
    EXPECT_TRUE(HasLine(result.out,
                        "    40F5849A  02       00      MeterSerial    2.15.0 (      1000)         "
                        "Bench supply"))
        << result.out;
    EXPECT_TRUE(HasLine(result.out,
                        "    0000ABCD  06       00      Hub2x4         2.15.0 (      1000)         "
                        "Hub on the desk"))
        << result.out;
    EXPECT_TRUE(HasLine(result.out,
                        "    0BADCAFE  04       00      EtherLink      2.15.0 (      1000)         "
                        "Driver bound"))
        << result.out;
    // Every module was let go again.
    for (auto& host : hosts)
        EXPECT_FALSE(host->device().claimed());
}

TEST_F(UsbDiscover, AModuleHeldByAnotherProgramShowsTheErrorLine)
{
    Add(Module(0x40F5849A, 17, 2, "Held")).device().holdInterface(true);
    Add(Module(0x1A2B3C4D, 19, 4, "Free"));

    ProcessResult result = Updater({"-D", "-t", "USB"});
    EXPECT_EQ(result.exit_status, 0) << result.err;
    std::regex errorLine(R"(    40F5849A  \[Error \([1-9][0-9]*\): Is someone else connected to this device\?\])");
    EXPECT_TRUE(HasLineMatching(result.out, errorLine)) << result.out;
    EXPECT_TRUE(HasLine(result.out, "    1A2B3C4D  04       00      EtherLink      2.15.0 (      1000)         Free"))
        << result.out;
}

TEST_F(UsbDiscover, NothingAttachedSaysNoDevicesFound)
{
    // Not a module: another vendor, and a product id with the top bit set.
    UsbDeviceConfig other = moduleConfig(0x11111111, 5);
    other.vendorId = 0x1234;
    emulation.addDevice(other);
    UsbDeviceConfig high = moduleConfig(0x22222222, 5);
    high.productId = 0x8005;
    emulation.addDevice(high);

    ProcessResult result = Updater({"-D", "-t", "USB"});
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_TRUE(HasLine(result.out, "Discovered Devices: (USB)")) << result.out;
    EXPECT_TRUE(HasLine(result.out, "    No devices found.")) << result.out;
}

TEST_F(UsbDiscover, WithoutATransportTheCommandSearchesUsbOnly)
{
    // Run where a TCP/IP search could do no harm, should it happen.
    PRIVATE_NETWORK_OR_RERUN();
    Add(Module(0x40F5849A, 17, 2, "On USB"));
    testsupport::VmoduleProcess network;
    ASSERT_TRUE(network.Start({"--module", "serial=22222222,discovery=192.0.2.1,model=6,version=2.15.0,name=On TCP"}))
        << network.Error();

    ProcessResult result = Updater({"-D"});
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_TRUE(HasLine(result.out, "Discovered Devices: (USB)")) << result.out;
    EXPECT_TRUE(HasLine(result.out, "    40F5849A  02       00      MeterSerial    2.15.0 (      1000)         On USB"))
        << result.out;
    EXPECT_EQ(result.out.find("22222222"), std::string::npos) << result.out;
}
