#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <string>
#include <vector>

#include "support/RecordingDisplay.h"
#include "support/TempDir.h"
#include "app/History.h"
#include "app/Listings.h"
#include "app/PrintableText.h"
#include "app/aDefs.h"

namespace {

using Strings = std::vector<std::string>;
using testsupport::RecordingDisplay;

const std::string USB_HEADER = "    Device    Module   Router  Model          Firmware Version (Build)    Device Name";
const std::string IP_HEADER =
    "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]       Device Name";

DeviceInfo Device(linkType type, uint32_t serial, uint32_t model)
{
    DeviceInfo device;
    device.spec.type = type;
    device.spec.serialNumber = serial;
    device.spec.model = model;
    device.spec.module = 6;
    device.spec.router = 0;
    device.version_major = 2;
    device.version_minor = 10;
    device.version_patch = 4;
    device.build_number = 99528558;
    device.device_name = "bench hub";
    return device;
}

TEST(DeviceList, EmptyListsSayNoDevicesFound)
{
    RecordingDisplay display;
    _display_device_list(display, {}, USB);
    _display_device_list(display, {}, TCPIP);
    _display_device_list(display, {}, 0);
    EXPECT_EQ(display.Infos(),
              (Strings{"Discovered Devices: (USB)", "    No devices found.", "Discovered Devices: (TCPIP)",
                       "    No devices found.", "Discovered Devices: (Unknown)", "    No devices found."}));
    EXPECT_TRUE(display.Errors().empty());
}

TEST(DeviceList, UsbDevicesAndTheErrorLine)
{
    RecordingDisplay display;
    DeviceInfo busy = Device(USB, 0x2181F0EE, 5);
    busy.error = aErrBusy;
    _display_device_list(display, {Device(USB, 0x40F5849A, 5), busy}, USB);
    std::string model = aDefs_GetModelName(5);
    char padded[16];
    snprintf(padded, sizeof padded, "%-12s", model.c_str());
    EXPECT_EQ(display.Infos(), (Strings{"Discovered Devices: (USB)", USB_HEADER,
                                        "    40F5849A  06       00      " + std::string(padded) +
                                            "   2.10.4 (  99528558)         bench hub",
                                        "    2181F0EE  [Error (5): Is someone else connected to this device?]"}));
}

TEST(DeviceList, TcpipDevicesShowTheirAddress)
{
    RecordingDisplay display;
    DeviceInfo device = Device(TCPIP, 0x40F5849A, 999);  // a model outside the table
    device.spec.ipAddress = inet_addr("192.0.2.11");
    device.spec.ipPort = 9889;
    device.spec.router = 0x0A;
    device.device_name = "";
    DeviceInfo unreachable = Device(TCPIP, 0x2181F0EE, 5);
    unreachable.error = aErrConnection;  // an unqueried module never looks like a listed one
    _display_device_list(display, {device, unreachable}, TCPIP);
    EXPECT_EQ(display.Infos(), (Strings{"Discovered Devices: (TCPIP)", IP_HEADER,
                                        "    40F5849A  06       0A      Unknown     "
                                        "   2.10.4 (  99528558)"
                                        "        [192.0.2.11]     "
                                        "  ",
                                        "    2181F0EE  [Error (25): Is someone else connected to this device?]"}));
}

TEST(DeviceList, MixedListUnderAnUnknownTypeUsesTheAddressHeader)
{
    RecordingDisplay display;
    DeviceInfo routed = Device(USB, 0x2181F0EE, 4);
    routed.spec.router = 2;
    routed.build_number = 4294967295u;
    routed.version_major = 255;
    _display_device_list(display, {routed}, 0);
    Strings infos = display.Infos();
    ASSERT_EQ(infos.size(), 3u);
    EXPECT_EQ(infos[0], "Discovered Devices: (Unknown)");
    EXPECT_EQ(infos[1], IP_HEADER);
    std::string model = aDefs_GetModelName(4);
    model.resize(12, ' ');
    EXPECT_EQ(infos[2], "    2181F0EE  06       02      " + model + " 255.10.4 (4294967295)         bench hub");
}

TEST(DeviceList, UpdatesAddTheNewestBuildItsSourceAndWhetherBehind)
{
    RecordingDisplay display;
    DeviceInfo named = Device(USB, 0x40F5849A, 999);
    named.device_name = "hub\x1b]0;x\x07";
    DeviceInfo busy = Device(USB, 0x2181F0EE, 999);
    busy.error = aErrBusy;
    const std::vector<AvailableBuild> available = {
        {99528559, "2.10.5\x01", BuildSource::Server}, {99528600, "", BuildSource::Store}, {}};
    _display_device_list(display, {named, busy, Device(USB, 0x0BADCAFE, 999)}, USB, &available);
    const std::string fixed = "06       00      Unknown        2.10.4 (  99528558)       ";
    EXPECT_EQ(display.Infos(),
              (Strings{"Discovered Devices: (USB)",
                       "    Device    Module   Router  Model          Firmware Version (Build)    Available (Build)"
                       "      Source  Behind  Device Name",
                       "    40F5849A  " + fixed + "2.10.5\\x01 (99528559)  server  yes     hub\\x1b]0;x\\x07",
                       "    2181F0EE  [Error (5): Is someone else connected to this device?]",
                       "    0BADCAFE  " + fixed + "-                      -       no      bench hub"}));
}

TEST(ModelNames, TableCoversFourToTwentySeven)
{
    EXPECT_STREQ(aDefs_GetModelName(0), "Unknown");
    EXPECT_STREQ(aDefs_GetModelName(3), "Unknown");
    EXPECT_STREQ(aDefs_GetModelName(28), "Unknown");
    for (uint32_t model = 4; model <= 27; ++model) {
        EXPECT_STRNE(aDefs_GetModelName(model), "Unknown") << model;
        EXPECT_LE(strlen(aDefs_GetModelName(model)), 12u) << "fits the listing's model column";
    }
}

TEST(BuildList, RowsArePaddedAndCutToFifteen)
{
    RecordingDisplay display;
    _display_build_rows(display, {{"117", "2.10.3"}, {"1234567890123456789", "2.9.12-very-long-version"}}, 0x40F5849A);
    EXPECT_EQ(display.Infos(), (Strings{"Build List for device [40F5849A]:\n", "Build          \tVersion        ",
                                        "117            \t2.10.3         ", "123456789012345\t2.9.12-very-lon"}));
}

TEST(BuildList, EmptyListSaysSo)
{
    RecordingDisplay display;
    _display_builds(display, {}, 0x40F5849A);
    EXPECT_EQ(display.Infos(), Strings{"No builds found for device [40F5849A]"});
}

TEST(BuildList, NewestVersionFirst)
{
    RecordingDisplay display;
    _display_builds(display, {{"115", "2.9.12"}, {"116", "2.10.3"}, {"117", "1.99.0"}}, 0x2B);
    EXPECT_EQ(display.Infos(), (Strings{"Build List for device [0000002B]:\n", "Build          \tVersion        ",
                                        "116            \t2.10.3         ", "115            \t2.9.12         ",
                                        "117            \t1.99.0         "}));
}

// What a terminal would act on comes out escaped; printable UTF-8 stays.
TEST(TerminalText, EscapesControlsAndBytesThatAreNoUtf8)
{
    const std::pair<std::string, std::string> cases[] = {
        {"hub Z\xc3\xbcrich \xe6\x97\xa5 \xf0\x9f\x98\x80", "hub Z\xc3\xbcrich \xe6\x97\xa5 \xf0\x9f\x98\x80"},
        {std::string("\x1b]0;x\x07\r\0\t\x7f a\\b", 14), "\\x1b]0;x\\x07\\x0d\\x00\\x09\\x7f a\\b"},
        {"\xc2\x9b[2J \xc2\x85 \x9b \xe6\x97", "\\u009b[2J \\u0085 \\x9b \\xe6\\x97"},  // C1, lone and cut bytes
        {"\xc0\xaf \xed\xa0\x80 \xf4\x90\x80\x80",
         "\\xc0\\xaf \\xed\\xa0\\x80 \\xf4\\x90\\x80\\x80"},  // overlong, surrogate, too high
    };
    for (const auto& [text, shown] : cases)
        EXPECT_EQ(_terminal_text(text), shown);
}

// A module's name, a server's version text and a history record's message and
// error reach the tables escaped.
TEST(TerminalText, TablesShowCraftedTextsEscaped)
{
    const std::string crafted = "\x1b[2J\x1b]0;owned\x07\r";
    RecordingDisplay display;
    DeviceInfo device = Device(TCPIP, 0x2181F0EE, 5);
    device.device_name = crafted;
    _display_device_list(display, {device}, TCPIP);
    _display_build_rows(display, {{"117", crafted}}, 0x40F5849A);
    testsupport::TempDir store;
    HistoryEntry entry;
    entry.message = entry.error = crafted;
    _append_history(display, store.path(), _history_record(entry, Outcome()));
    _show_history(display, store.path(), 0, nullptr);
    size_t escaped = 0;
    for (const std::string& line : display.Infos()) {
        EXPECT_EQ(line.find_first_of("\x1b\x07\r"), std::string::npos) << line;
        escaped += line.find("\\x1b[2J\\x1b]0;o") != std::string::npos;
    }
    EXPECT_EQ(escaped, 3u);
}

TEST(FingerprintAndToken, Formats)
{
    RecordingDisplay display;
    Fingerprint fingerprint;
    fingerprint.words[0] = 0x1;
    fingerprint.words[1] = 0xABCDEF01;
    fingerprint.words[2] = 0;
    fingerprint.words[3] = 0xFFFFFFFF;
    _display_fingerprint(display, fingerprint);
    _display_jwt(display, "aa.bb.cc");
    _display_jwt(display, "");
    EXPECT_EQ(display.Infos(), (Strings{"[ 00000001 ABCDEF01 00000000 FFFFFFFF ]", "aa.bb.cc", ""}));
}

}  // namespace
