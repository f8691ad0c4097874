// "updater -D" against virtual modules on TCP/IP, directly and behind a routing
// module. Every test runs inside its own private network namespace: discovery
// multicasts from every interface.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <regex>
#include <set>
#include <string>
#include <vector>

#include "support/PrivateNetwork.h"
#include "support/Process.h"
#include "support/TempDir.h"
#include "support/TextLines.h"
#include "support/VmoduleProcess.h"

using testsupport::HasLine;
using testsupport::HasLineMatching;
using testsupport::Lines;
using testsupport::ProcessResult;
using testsupport::VmoduleProcess;

namespace {

const std::string LOCAL_URL = "http://127.0.0.1:1/cgi/u";
const std::string TCPIP_HEADER =
    "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]       Device Name";

class Discover : public ::testing::Test {
protected:
    ProcessResult Updater(const std::vector<std::string>& args)
    {
        std::vector<std::string> argv = {testsupport::UpdaterPath(), "-i", store.path(), "-u", LOCAL_URL};
        argv.insert(argv.end(), args.begin(), args.end());
        return testsupport::RunProcess(argv);
    }

    testsupport::TempDir store;
};

}  // namespace

TEST_F(Discover, ListsAModuleWithItsIPAddress)
{
    PRIVATE_NETWORK_OR_RERUN();
    VmoduleProcess modules;
    ASSERT_TRUE(
        modules.Start({"--module", "serial=40F5849A,discovery=192.0.2.1,model=17,build=1000,name=Bench supply"}))
        << modules.Error();

    ProcessResult result = Updater({"-D", "-t", "TCPIP"});
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_TRUE(HasLine(result.out, "Searching for Tessarine devices")) << result.out;
    EXPECT_TRUE(HasLine(result.out, "Discovered Devices: (TCPIP)")) << result.out;
    EXPECT_TRUE(HasLine(result.out, TCPIP_HEADER)) << result.out;
    EXPECT_TRUE(HasLine(result.out,
                        "    40F5849A  02       00      MeterSerial    2.15.0 (      1000)        "
                        "[192.0.2.1]        Bench supply"))
        << result.out;
}

TEST_F(Discover, ListsEveryModuleAndNamesOnlyFromFirmware2_10_4)
{
    PRIVATE_NETWORK_OR_RERUN();
    VmoduleProcess modules;
    ASSERT_TRUE(
        modules.Start({"--module", "serial=11111111,discovery=192.0.2.1,model=5,version=2.10.3,name=Old", "--module",
                       "serial=22222222,discovery=192.0.2.1,model=6,version=2.10.4,name=New,address=6,"
                       "build=4294967295",
                       "--module", "serial=33333333,discovery=192.0.2.1,model=40,version=3.1.7"}))
        << modules.Error();

    ProcessResult result = Updater({"-D", "-t", "TCP"});
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_TRUE(HasLine(result.out,
                        "    11111111  02       00      Hub2x4         2.10.3 (      1000)        "
                        "[192.0.2.1]        "))
        << result.out;
    EXPECT_TRUE(HasLine(result.out,
                        "    22222222  06       00      Hub3x8         2.10.4 (4294967295)        "
                        "[192.0.2.1]        New"))
        << result.out;
    EXPECT_TRUE(HasLine(result.out,
                        "    33333333  02       00      Unknown        3.1.7 (      1000)        "
                        "[192.0.2.1]        Virtual module"))
        << result.out;
    size_t listed = 0;
    for (const std::string& line : Lines(result.out))
        listed += line.rfind("    11111111", 0) == 0 || line.rfind("    22222222", 0) == 0 ||
                  line.rfind("    33333333", 0) == 0;
    EXPECT_EQ(listed, 3u) << "each module once";
}

TEST_F(Discover, ModuleHeldByAnotherProgramShowsTheErrorLine)
{
    PRIVATE_NETWORK_OR_RERUN();
    VmoduleProcess modules;
    ASSERT_TRUE(modules.Start({"--module", "serial=40F5849A,discovery=192.0.2.1"})) << modules.Error();
    uint16_t port = modules.TcpPort(0x40F5849A);
    ASSERT_NE(port, 0);

    // Another program holds the module's one host connection.
    int holder = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(port);
    inet_pton(AF_INET, "192.0.2.1", &where.sin_addr);
    ASSERT_EQ(connect(holder, reinterpret_cast<sockaddr*>(&where), sizeof where), 0);
    const uint8_t magic[] = {0xAD, 0x00};
    ASSERT_EQ(write(holder, magic, sizeof magic), 2);
    uint8_t reply[2];
    ASSERT_EQ(read(holder, reply, sizeof reply), 2) << "the holder's connection is the module's";

    ProcessResult result = Updater({"-D", "-t", "TCPIP"});
    close(holder);
    EXPECT_EQ(result.exit_status, 0) << result.err;
    std::regex errorLine(R"(    40F5849A  \[Error \([1-9][0-9]*\): Is someone else connected to this device\?\])");
    EXPECT_TRUE(HasLineMatching(result.out, errorLine)) << result.out;
}

TEST_F(Discover, NothingAttachedSaysNoDevicesFound)
{
    PRIVATE_NETWORK_OR_RERUN();
    ProcessResult result = Updater({"-D", "-t", "TCPIP"});
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_TRUE(HasLine(result.out, "Discovered Devices: (TCPIP)")) << result.out;
    EXPECT_TRUE(HasLine(result.out, "    No devices found.")) << result.out;
}

TEST_F(Discover, ListsTheModulesBehindARouterFoundOnItsBus)
{
    PRIVATE_NETWORK_OR_RERUN();
    VmoduleProcess modules;
    ASSERT_TRUE(modules.Start({"--trace", "--module", "serial=0A0A0A0A,discovery=192.0.2.1,model=4", "--attach",
                               "serial=0B0B0B0B,address=4,model=5,build=77", "--attach",
                               "serial=0C0C0C0C,address=8,model=6,version=2.9.1"}))
        << modules.Error();

    ProcessResult result = Updater({"-D", "-r", "0A0A0A0A"});
    modules.Stop();
    std::string trace = modules.Stderr();
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_TRUE(HasLine(result.out, "Searching for Tessarine Network devices connected to 0A0A0A0A")) << result.out;
    EXPECT_TRUE(HasLine(result.out, "Discovered Devices: (Unknown)")) << result.out;
    EXPECT_TRUE(HasLine(result.out,
                        "    0B0B0B0B  04       02      Hub2x4         2.15.0 (        77)        "
                        "[192.0.2.1]        "))
        << result.out;
    EXPECT_TRUE(HasLine(result.out,
                        "    0C0C0C0C  08       02      Hub3x8         2.9.1 (      1000)        "
                        "[192.0.2.1]        "))
        << result.out;

    // The bus scan: a two-byte write to every even address but the router's own.
    std::regex probe(R"(0A0A0A0A <- 02 07 08 00 ([0-9A-F]{2}) 02 03 00 00)");
    std::multiset<unsigned> probed;
    for (const std::string& line : Lines(trace)) {
        std::smatch match;
        if (std::regex_search(line, match, probe))
            probed.insert(std::stoul(match[1].str(), nullptr, 16));
    }
    EXPECT_EQ(probed.size(), 125u);
    EXPECT_EQ(probed.count(2), 0u) << "the router's own address is never probed";
    for (unsigned address : probed) {
        EXPECT_EQ(address % 2, 0u) << address;
        EXPECT_GE(address, 4u);
        EXPECT_LE(address, 252u);
        EXPECT_EQ(probed.count(address), 1u) << address;
    }
}

TEST_F(Discover, UnknownRouterGivesAnEmptyListWithoutMessage)
{
    PRIVATE_NETWORK_OR_RERUN();
    VmoduleProcess modules;
    ASSERT_TRUE(modules.Start({"--module", "serial=0A0A0A0A,discovery=192.0.2.1"})) << modules.Error();
    ProcessResult result = Updater({"-D", "-r", "12345678", "-t", "TCPIP"});
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_TRUE(HasLine(result.out, "    No devices found.")) << result.out;
    std::vector<std::string> errors = Lines(result.err);
    EXPECT_TRUE(errors.empty()) << result.err;
}
