// The bench of usbrun: settings checked before anything is plugged in, and
// the devices they describe as this process's libusb finds them.
#include <gtest/gtest.h>

#include <map>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "sim/usb/UsbBench.h"
#include "unix/tsusb.h"

using namespace usbemu;

namespace {

using Items = std::vector<std::pair<std::string, std::string>>;

struct SplitCase {
    std::string list;
    bool ok;
    Items items;
};

void PrintTo(const SplitCase& split, std::ostream* out)
{
    *out << '"' << split.list << '"';
}

class SplitSettings : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitSettings, GivesTrimmedPairsOrRefusesTheList)
{
    Items items;
    std::string error;
    EXPECT_EQ(splitSettings(GetParam().list, items, error), GetParam().ok) << error;
    if (GetParam().ok)
        EXPECT_EQ(items, GetParam().items);
    else
        EXPECT_NE(error.find("is not key=value"), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(UsbBench, SplitSettings,
                         ::testing::Values(SplitCase{"", true, {}},
                                           SplitCase{"serial=0A0A0A0A", true, {{"serial", "0A0A0A0A"}}},
                                           SplitCase{" a = 1 , ,b=x=y,", true, {{"a", "1"}, {"b", "x=y"}}},
                                           SplitCase{"name=Two words,c=", true, {{"name", "Two words"}, {"c", ""}}},
                                           SplitCase{"a=1,serial", false, {}}, SplitCase{"=1", false, {}}));

struct PlanCase {
    std::vector<BenchRequest> requests;
    std::string message;
};

void PrintTo(const PlanCase& plan, std::ostream* out)
{
    for (const BenchRequest& request : plan.requests)
        *out << "--" << request.kind << " " << request.settings << " ";
}

class BenchPlanRefusal : public ::testing::TestWithParam<PlanCase> {};

TEST_P(BenchPlanRefusal, NamesTheWrongSetting)
{
    UsbBench bench;
    std::string error;
    EXPECT_FALSE(bench.plan(GetParam().requests, error));
    EXPECT_NE(error.find(GetParam().message), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(
    UsbBench, BenchPlanRefusal,
    ::testing::Values(
        PlanCase{{{"printer", "", {}}}, "unknown device kind printer"},
        PlanCase{{{"module", "transport=pty", {}}}, "transport: a module here is on USB"},
        PlanCase{{{"module", "listen=127.0.0.1", {}}}, "listen: a module here is on USB"},
        PlanCase{{{"module", "discovery=192.0.2.1", {}}}, "discovery: a module here is on USB"},
        PlanCase{{{"module", "fault=silent", {}}}, "own option (--fault)"},
        PlanCase{{{"module", "model=nine", {}}}, "--module model=nine: "},
        // the second request is the wrong one: nothing of the first is kept
        PlanCase{{{"module", "serial=0A0A0A0A", {}}, {"module", "usb=slow", {}}}, "usb=slow"},
        PlanCase{{{"module", "serial=0A0A0A0A", {{"attach", "usb=high"}}}},
                 "usb: an attached module is on its router's I2C bus"},
        PlanCase{{{"module", "", {{"attach", "serial=0B0B0B0B,address=2"}}}}, "has its router's address"},
        PlanCase{{{"module", "", {{"attach", "serial=0B0B0B0B"}, {"fault", "drop-at=NOWHERE"}}}}, "--module : "},
        // the loader a boot ROM's jump starts
        PlanCase{{{"sdp-rom", "", {{"on-jump", "usb=high"}}}}, "usb: the started loader enumerates at full speed"},
        PlanCase{{{"sdp-rom", "", {{"on-jump", "port=4000"}}}}, "port: a module here is on USB"},
        PlanCase{{{"sdp-rom", "", {{"on-jump", "identifier=1:2"}}}}, "--sdp-rom : "}));

struct Found {
    std::map<uint32_t, uint16_t> products;
};

bool _found(uint32_t serialNumber, uint16_t productId, void* ref)
{
    static_cast<Found*>(ref)->products[serialNumber] = productId;
    return true;
}

}  // namespace

TEST(UsbBench, PlugsEveryKindOfModuleWhereTheHostLooksForIt)
{
    UsbEmulation emulation;
    UsbBench bench;
    std::string error;
    ASSERT_TRUE(bench.plan({{"module", "serial=0A0A0A0A,model=4", {{"attach", "serial=0B0B0B0B,address=6"}}},
                            {"module", "serial=0C0C0C0C,model=17,usb=high", {{"fault", "silent"}}},
                            {"module", "serial=0D0D0D0D,usb=node", {}}},
                           error))
        << error;
    bench.plug(emulation, {});
    EXPECT_EQ(bench.describe(), (std::vector<std::string>{
                                    "module 0A0A0A0A usb full-speed", "module 0B0B0B0B attached 0A0A0A0A 6",
                                    "module 0C0C0C0C usb high-speed", "module 0D0D0D0D node /dev/tessarine.0D0D0D0D"}));

    // libusb lists the three modules on the bus with their models, not the
    // attached one; the one whose driver is bound has its node too, and its
    // interface is the driver's.
    Found found;
    tsusb_enumerate_modules(_found, &found);
    EXPECT_EQ(found.products,
              (std::map<uint32_t, uint16_t>{{0x0A0A0A0A, 0x0004}, {0x0C0C0C0C, 0x0011}, {0x0D0D0D0D, 0x0007}}));
    EXPECT_TRUE(tsusb_is_kernel_driver_installed(0x0D0D0D0D));
    EXPECT_FALSE(tsusb_is_kernel_driver_installed(0x0A0A0A0A));

    USBDevice* device = tsusb_create_usb(true);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(tsusb_open_tessarine_device(device, "0D0D0D0D"), aErrBusy);
    tsusb_destroy(&device);
    device = tsusb_create_usb(true);
    ASSERT_NE(device, nullptr);
    ASSERT_EQ(tsusb_open_tessarine_device(device, "0C0C0C0C"), aErrNone);
    EXPECT_EQ(device->outMaxPacket, 512) << "high speed";
    tsusb_destroy(&device);
    bench.unplug();
    EXPECT_TRUE(bench.describe().empty());
    Tessarine_libusb_exit();
}
