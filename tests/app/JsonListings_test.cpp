#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/JsonListings.h"
#include "app/aDefs.h"

namespace {

using nlohmann::json;

DeviceInfo Device(linkType type, uint32_t serial, const std::string& name)
{
    DeviceInfo device;
    device.spec.type = type;
    device.spec.serialNumber = serial;
    device.spec.model = 5;
    device.spec.module = 6;
    device.spec.router = 2;
    device.version_major = 2;
    device.version_minor = 10;
    device.version_patch = 4;
    device.build_number = 4294967295u;
    device.device_name = name;
    return device;
}

// json::parse refuses trailing text, so a second document or stray output fails here.
json Parse(const std::string& text)
{
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n') << "one document, one line end";
    return json::parse(text);
}

struct NameCase {
    const char* label;
    std::string name;
    std::string expected;  // the text a JSON reader gets back
};

std::ostream& operator<<(std::ostream& out, const NameCase& c)
{
    return out << c.label;
}

class JsonNames : public ::testing::TestWithParam<NameCase> {};

TEST_P(JsonNames, DeviceNamesComeBackExactly)
{
    const NameCase& c = GetParam();
    json document = Parse(_device_list_json({Device(USB, 0x40F5849A, c.name)}, USB));
    ASSERT_EQ(document["devices"].size(), 1u);
    EXPECT_EQ(document["devices"][0]["name"].get<std::string>(), c.expected);
}

TEST_P(JsonNames, BuildVersionsAndBuildTextsComeBackExactly)
{
    const NameCase& c = GetParam();
    json document = Parse(_build_list_json({{c.name, c.name}}, 0x40F5849A));
    ASSERT_EQ(document["builds"].size(), 1u);
    EXPECT_EQ(document["builds"][0]["build"].get<std::string>(), c.expected);
    EXPECT_EQ(document["builds"][0]["version"].get<std::string>(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Escaping, JsonNames,
    ::testing::Values(NameCase{"plain", "Bench supply", "Bench supply"}, NameCase{"empty", "", ""},
                      NameCase{"quotes", "say \"hi\"", "say \"hi\""},
                      NameCase{"backslashes", "C:\\lab\\hub\\", "C:\\lab\\hub\\"},
                      NameCase{"json_lookalike", "\",\"error\":1,\"x\":\"", "\",\"error\":1,\"x\":\""},
                      NameCase{"control_characters", "a\nb\tc\rd\x01\x1f\x7f", "a\nb\tc\rd\x01\x1f\x7f"},
                      NameCase{"embedded_nul", std::string("ab\0cd", 5), std::string("ab\0cd", 5)},
                      NameCase{"utf8",
                               "Pr\xc3\xbc"
                               "fstand \xe2\x82\xac",
                               "Pr\xc3\xbc"
                               "fstand \xe2\x82\xac"},
                      // Bytes that are not UTF-8 must not abort the listing.
                      NameCase{"invalid_utf8", "hub\xff\xfe", "hub\xef\xbf\xbd\xef\xbf\xbd"},
                      NameCase{"truncated_utf8", "x\xc3", "x\xef\xbf\xbd"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(JsonDeviceList, FieldsOfUsbTcpipAndFailedModules)
{
    DeviceInfo tcp = Device(TCPIP, 0x0000BEEF, "net");
    tcp.spec.ipAddress = inet_addr("192.0.2.17");
    DeviceInfo busy = Device(USB, 0x2181F0EE, "held");
    busy.error = aErrBusy;

    json document = Parse(_device_list_json({Device(USB, 0x40F5849A, "hub"), tcp, busy}, 0));
    EXPECT_EQ(document["transport"], "Unknown");
    ASSERT_EQ(document["devices"].size(), 3u);

    const json& usb = document["devices"][0];
    EXPECT_EQ(usb["serial"], "40F5849A");
    EXPECT_EQ(usb["transport"], "USB");
    EXPECT_EQ(usb["module"], 6);
    EXPECT_EQ(usb["router"], 2);
    EXPECT_EQ(usb["model"], aDefs_GetModelName(5));
    EXPECT_EQ(usb["model_number"], 5);
    EXPECT_EQ(usb["version"], "2.10.4");
    EXPECT_EQ(usb["build"], 4294967295u);
    EXPECT_TRUE(usb["ip"].is_null());
    EXPECT_EQ(usb["name"], "hub");
    EXPECT_EQ(usb["error"], 0);

    const json& net = document["devices"][1];
    EXPECT_EQ(net["serial"], "0000BEEF") << "eight digits with the leading zeros";
    EXPECT_EQ(net["transport"], "TCPIP");
    EXPECT_EQ(net["ip"], "192.0.2.17");

    const json& failed = document["devices"][2];
    EXPECT_EQ(failed["serial"], "2181F0EE");
    EXPECT_EQ(failed["error"], static_cast<int>(aErrBusy));
    EXPECT_TRUE(failed["version"].is_null());
    EXPECT_TRUE(failed["build"].is_null());
    EXPECT_TRUE(failed["name"].is_null());
}

TEST(JsonDeviceList, EmptyListIsAnEmptyArrayUnderItsTransport)
{
    for (auto [type, name] : {std::pair<linkType, const char*>{USB, "USB"}, {TCPIP, "TCPIP"}, {0, "Unknown"}}) {
        json document = Parse(_device_list_json({}, type));
        EXPECT_EQ(document["transport"], name);
        ASSERT_TRUE(document["devices"].is_array());
        EXPECT_TRUE(document["devices"].empty());
    }
}

TEST(JsonBuildList, NewestVersionFirstAndNothingCut)
{
    BuildMap builds = {{"115", "2.9.12"}, {"116", "2.10.3"}, {"117", "1.99.0"}, {"1234567890123456789", "10.0.0"}};
    json document = Parse(_build_list_json(builds, 0x40F5849A));
    EXPECT_EQ(document["serial"], "40F5849A");
    std::vector<std::string> order;
    for (const json& row : document["builds"])
        order.push_back(row["build"].get<std::string>() + "=" + row["version"].get<std::string>());
    // The listing cuts at 15 characters; the document keeps the whole text.
    EXPECT_EQ(order,
              (std::vector<std::string>{"1234567890123456789=10.0.0", "116=2.10.3", "115=2.9.12", "117=1.99.0"}));

    json none = Parse(_build_list_json({}, 0x1234));
    EXPECT_EQ(none["serial"], "00001234");
    ASSERT_TRUE(none["builds"].is_array());
    EXPECT_TRUE(none["builds"].empty());
}

}  // namespace
