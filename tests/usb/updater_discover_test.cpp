// The updater's discovery over USB in this process: the module objects connect
// by USB, and a search without a transport covers USB, then TCP/IP.
#include <gtest/gtest.h>

#include "app/Updater.h"
#include "common/device/Module.h"
#include "sim/usb/UsbModuleHost.h"
#include "support/PrivateNetwork.h"
#include "support/RecordingDisplay.h"
#include "support/TempDir.h"
#include "support/VmoduleProcess.h"
#include "unix/tsusb.h"

using namespace usbemu;
using namespace Kestrune::Tessarine;

namespace {

Sim::ModuleConfig _module(uint32_t serialNumber, uint8_t address)
{
    Sim::ModuleConfig config;
    config.serialNumber = serialNumber;
    config.model = 17;
    config.moduleAddress = address;
    return config;
}

// Direct links only, as the updater uses them.
void _direct(Module& module)
{
    PlexusConfig config;
    config.enabled = false;
    config.fallback = false;
    ASSERT_EQ(module.setConfig(config), aErrNone);
}

TEST(UsbModuleConnect, ConnectsByUsbAndLearnsTheModuleAddress)
{
    UsbEmulation emulation;
    {
        UsbModuleHost host(emulation, std::make_shared<Sim::VirtualModule>(_module(0x40F5849A, 8)));
        Module module(0, true);
        _direct(module);
        ASSERT_EQ(module.connect(USB, 0x40F5849A), aErrNone);
        EXPECT_EQ(module.getModuleAddress(), 8);
        EXPECT_TRUE(host.device().claimed());
        module.disconnect();
        EXPECT_FALSE(host.device().claimed());

        Module missing(0, true);
        _direct(missing);
        EXPECT_EQ(missing.connect(USB, 0x0BADF00D), aErrNotFound);
    }
    Tessarine_libusb_exit();
}

TEST(UsbUpdaterDiscover, TypeZeroSearchesUsbThenTcpip)
{
    // The TCP/IP search multicasts from every interface.
    PRIVATE_NETWORK_OR_RERUN();
    UsbEmulation emulation;
    testsupport::VmoduleProcess network;
    ASSERT_TRUE(network.Start({"--module", "serial=22222222,discovery=192.0.2.1,model=6"})) << network.Error();
    std::vector<DeviceInfo> devices;
    {
        UsbModuleHost host(emulation, std::make_shared<Sim::VirtualModule>(_module(0x40F5849A, 2)));
        testsupport::TempDir store;
        testsupport::RecordingDisplay display;
        Updater updater("http://127.0.0.1:1/cgi/u", store.path(), display);
        devices = updater.Discover_Devices(0);
    }
    Tessarine_libusb_exit();
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0].spec.type, USB);
    EXPECT_EQ(devices[0].spec.serialNumber, 0x40F5849Au);
    EXPECT_EQ(devices[0].error, aErrNone);
    EXPECT_EQ(devices[0].model_name, "MeterSerial");
    EXPECT_EQ(devices[1].spec.type, TCPIP);
    EXPECT_EQ(devices[1].spec.serialNumber, 0x22222222u);
}

}  // namespace
