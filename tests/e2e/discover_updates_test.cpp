// "updater -D --updates" against virtual modules on TCP/IP and behind a router, with
// builds in the store and on the project's update server; inside a private network
// namespace, since discovery multicasts from every interface.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <tuple>

#include <nlohmann/json.hpp>

#include "app/Usage.h"
#include "firmware/BirdWriter.h"
#include "sim/UpdateServer.h"
#include "support/CodeBytes.h"
#include "support/PrivateNetwork.h"
#include "support/Process.h"
#include "support/TempDir.h"
#include "support/TextLines.h"
#include "support/VmoduleProcess.h"

namespace {

using testsupport::HasLine;
using testsupport::Lines;
using testsupport::ProcessResult;
using testsupport::TempDir;
using Strings = std::vector<std::string>;

const std::string UNREACHABLE = "http://127.0.0.1:1/cgi/u";

void Put(const TempDir& root, const std::string& serial, uint32_t build, const std::string& version)
{
    std::filesystem::create_directories(root / serial);
    BirdWriter writer;
    writer.AddFirmware(0x60000000, testsupport::Code(300, build)).AddInfo(build, version, 0, "HUB8");
    ASSERT_TRUE(BirdWriter::WriteBytes(root / (serial + "/" + std::to_string(build) + ".bird"), writer.FileBytes()));
}

Strings Sorted(const std::string& text)
{
    Strings lines = Lines(text);
    std::sort(lines.begin(), lines.end());
    return lines;
}

class DiscoverUpdates : public ::testing::Test {
protected:
    void SetUp() override
    {
        // 11111111 is behind the store's build, 22222222 behind the server's, 33333333 and
        // the router are current; 0B0B0B0B behind the router is behind the server's.
        Put(store, "updater/11111111", 1001, "2.15.1");
        Put(store, "updater/22222222", 1100, "2.15.9");
        Put(store, "updater/33333333", 1001, "2.15.1");
        Put(firmware, "22222222", 1200, "2.16.0");
        Put(firmware, "0B0B0B0B", 1001, "2.15.1");
        Sim::UpdateServerOptions options;
        options.firmware_dir = firmware.path();
        server = std::make_unique<Sim::UpdateServer>(options);
        std::string error;
        ASSERT_TRUE(server->Start(error)) << error;
    }

    ProcessResult Updater(Strings args)
    {
        args.insert(args.end(), {"-i", store.path()});
        return testsupport::RunUpdater(args);
    }

    TempDir store, firmware;
    std::unique_ptr<Sim::UpdateServer> server;
};

TEST_F(DiscoverUpdates, ColumnsJsonFieldsAndTheListingWithoutThem)
{
    PRIVATE_NETWORK_OR_RERUN();
    testsupport::VmoduleProcess modules;
    ASSERT_TRUE(modules.Start({"--module", "serial=11111111,discovery=192.0.2.1,model=17,name=A", "--module",
                               "serial=22222222,discovery=192.0.2.1,model=17,name=B\x1b[2J", "--module",
                               "serial=33333333,discovery=192.0.2.1,model=17,build=1300,name=C", "--module",
                               "serial=0A0A0A0A,discovery=192.0.2.1,model=17,name=R", "--attach",
                               "serial=0B0B0B0B,address=4,model=17,build=77"}))
        << modules.Error();

    // Without --updates: the listing as it always was, whole.
    const ProcessResult plain = Updater({"-D", "-t", "TCPIP", "-u", server->Url()});
    EXPECT_EQ(plain.exit_status, 0) << plain.err;
    EXPECT_EQ(
        Sorted(plain.out),
        Sorted("Updater (" + _app_version_text() + ")\n" +
               "Searching for Tessarine devices\n"
               "Discovered Devices: (TCPIP)\n"
               "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]       "
               "Device Name\n"
               "    0A0A0A0A  02       00      MeterSerial    2.15.0 (      1000)        [192.0.2.1]        R\n"
               "    11111111  02       00      MeterSerial    2.15.0 (      1000)        [192.0.2.1]        A\n"
               "    22222222  02       00      MeterSerial    2.15.0 (      1000)        [192.0.2.1]        "
               "B\\x1b[2J\n"
               "    33333333  02       00      MeterSerial    2.15.0 (      1300)        [192.0.2.1]        C\n"));
    EXPECT_TRUE(server->Requests().empty()) << "plain discovery asks no server";

    // With --updates: the newest build, where it is, and whether the module is behind.
    const ProcessResult updates = Updater({"-D", "-t", "TCPIP", "--updates", "-u", server->Url()});
    EXPECT_EQ(updates.exit_status, 0) << updates.err;
    const std::string fixed = "02       00      MeterSerial    2.15.0 (      ";
    for (const std::string& line : Strings{
             "    Device    Module   Router  Model          Firmware Version (Build)    Available (Build)      Source  "
             "Behind  [IP address]       Device Name",
             "    11111111  " + fixed + "1000)       2.15.1 (1001)          store   yes     [192.0.2.1]        A",
             "    22222222  " + fixed +
                 "1000)       2.16.0 (1200)          server  yes     [192.0.2.1]        B\\x1b[2J",
             "    33333333  " + fixed + "1300)       2.15.1 (1001)          store   no      [192.0.2.1]        C",
             "    0A0A0A0A  " + fixed + "1000)       -                      -       no      [192.0.2.1]        R"})
        EXPECT_TRUE(HasLine(updates.out, line)) << line << "\n" << updates.out;

    const ProcessResult json = Updater({"-D", "-t", "TCPIP", "--updates", "-u", server->Url(), "--json"});
    EXPECT_EQ(json.exit_status, 0) << json.err;
    using Row = std::tuple<nlohmann::json, nlohmann::json, nlohmann::json>;
    std::map<std::string, Row> rows;
    const nlohmann::json document = nlohmann::json::parse(json.out);
    for (const auto& device : document["devices"])
        rows[device["serial"].get<std::string>()] =
            Row{device["available_build"], device["available_source"], device["behind"]};
    EXPECT_EQ(rows, (std::map<std::string, Row>{{"0A0A0A0A", Row{nullptr, nullptr, false}},
                                                {"0B0B0B0B", Row{1001, "server", true}},
                                                {"11111111", Row{1001, "store", true}},
                                                {"22222222", Row{1200, "server", true}},
                                                {"33333333", Row{1001, "store", false}}}));

    // Behind the router.
    const ProcessResult routed = Updater({"-D", "-r", "0A0A0A0A", "--updates", "-u", server->Url()});
    EXPECT_EQ(routed.exit_status, 0) << routed.err;
    EXPECT_TRUE(HasLine(routed.out,
                        "    0B0B0B0B  04       02      MeterSerial    2.15.0 (        77)       "
                        "2.15.1 (1001)          server  yes     [192.0.2.1]        "))
        << routed.out;

    // A server that does not answer: the store's builds, the failure said, exit status 1.
    const ProcessResult down = Updater({"-D", "-t", "TCPIP", "--updates", "-u", UNREACHABLE});
    EXPECT_EQ(down.exit_status, 1);
    EXPECT_TRUE(HasLine(down.err, "Server request failed for " + UNREACHABLE)) << down.err;
    EXPECT_TRUE(HasLine(
        down.out,
        "    22222222  " + fixed + "1000)       2.15.9 (1100)          store   yes     [192.0.2.1]        B\\x1b[2J"))
        << down.out;
}

}  // namespace
