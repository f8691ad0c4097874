// module-server end to end: it serves a virtual module (vmodule) and this test,
// another process, reaches the module as a network client, the way a monitor
// would while the serving program holds the module. Each test runs in its own
// private network namespace: discovery multicasts, beacons broadcast.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "app/UpdaterEntity.h"
#include "common/device/Module.h"
#include "common/device/SystemClass.h"
#include "common/discovery/aDiscovery.h"
#include "firmware/BirdFile.h"
#include "firmware/BirdWriter.h"
#include "support/CodeBytes.h"
#include "support/ModuleServerProcess.h"
#include "support/PrivateNetwork.h"
#include "support/Process.h"
#include "support/RecordingDisplay.h"
#include "support/TempDir.h"
#include "support/VmoduleProcess.h"

using namespace Kestrune::Tessarine;
using testsupport::ModuleServerProcess;
using testsupport::TempDir;
using testsupport::VmoduleProcess;

namespace {

constexpr uint32_t kSerial = 0x40F5849A;
constexpr uint32_t kLoaderAddress = 0x20000000;
constexpr uint32_t kFirmwareAddress = 0x60000000;

uint32_t _ipv4(const char* text)
{
    in_addr address{};
    inet_pton(AF_INET, text, &address);
    return address.s_addr;
}

std::string _hex8(uint32_t value)
{
    char text[16];
    snprintf(text, sizeof text, "%08X", value);
    return text;
}

std::string _name(SystemClass& system)
{
    uint8_t buffer[64] = {};
    size_t length = 0;
    if (system.getName(buffer, sizeof buffer, &length) != aErrNone)
        return "<no name>";
    return std::string(reinterpret_cast<char*>(buffer), length);
}

// The loader, then the firmware, the way an update sends them, over whatever
// link the module has; 0 when the module took all of it.
aErr _update(Module& module, const BirdFile& bird, UpdaterDisplayInterface& display)
{
    UpdaterEntity loader;
    loader.init(&module, 0, true, false);
    aErr err = loader.LoaderInit();
    for (const BirdBlock& block : bird.FindBlocks(BirdFile::BIRD_BLOCK_LOADER)) {
        uint16_t moduleBlockSize = 0;
        if (err == aErrNone)
            err = loader.TransferPrepare(block.data, block.length, block.flags, &moduleBlockSize);
        if (err == aErrNone)
            err = loader.LoaderTransfer(block.data, block.length);
    }
    if (err == aErrNone)
        err = loader.LoaderStart();
    if (err != aErrNone)
        return err;
    // Served, the link stays up while the module restarts behind the server;
    // the firmware stage waits for no drop after REBOOT for the same reason.
    UpdaterEntity firmware;
    firmware.init(&module, 0, true, true);
    if (firmware.CheckUEIDataSupport() == aErrNone)
        firmware.CheckPooledPacketsSupport();
    for (const BirdBlock& block : bird.FindBlocks(BirdFile::BIRD_BLOCK_FIRMWARE)) {
        for (int attempt = 0; attempt < 5; ++attempt) {
            uint16_t moduleBlockSize = 0;
            err = firmware.TransferPrepare(block.data, block.length, block.flags, &moduleBlockSize);
            if (err == aErrNone)
                err = firmware.FirmwareTransfer(block.data, block.length, moduleBlockSize, display);
            if (err == aErrNone)
                break;
        }
        if (err != aErrNone)
            return err;
    }
    return firmware.LoaderReboot(display);
}

}  // namespace

TEST(ModuleServer, ServesAVirtualModuleToAnotherProcess)
{
    PRIVATE_NETWORK_OR_RERUN();
    TempDir work;
    VmoduleProcess modules;
    ASSERT_TRUE(modules.Start({"--module",
                               "serial=40F5849A,model=17,load-pause-ms=200,reboot-pause-ms=200,"
                               "new-build=1200,flash-dir=" +
                                   (work / "flash")}))
        << modules.Error();
    ModuleServerProcess server;
    ASSERT_TRUE(server.Start({"-d", "40F5849A", "--tcp", "127.0.0.1:" + std::to_string(modules.TcpPort(kSerial))}))
        << server.Error();
    uint16_t port = server.Port();
    ASSERT_NE(port, 0);
    ASSERT_GE(server.Lines().size(), 2u);
    EXPECT_EQ(server.Lines()[0],
              "serving 40F5849A (TCP/IP, module 2, model 17 MeterSerial) on 127.0.0.1 port " + std::to_string(port));
    EXPECT_EQ(server.Lines()[1], "announcing type 6 serial 40F5849A module 2 model 17 at 127.0.0.1:" +
                                     std::to_string(port) + " by multicast on 224.0.0.7");

    // Found through the local-server discovery on 224.0.0.7.
    linkSpec* found = aDiscovery_FindModule(PLEXUS, kSerial, 0);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->type, PLEXUS_TCPIP);
    EXPECT_EQ(found->ipPort, port);
    EXPECT_EQ(found->model, 17u);
    aLinkSpec_Destroy(&found);

    Module module(0, true, 0);
    ASSERT_EQ(module.connect(PLEXUS, kSerial), aErrNone);
    EXPECT_EQ(module.getModuleAddress(), 2);
    SystemClass system;
    system.init(&module, 0);
    uint32_t serial = 0;
    EXPECT_EQ(system.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, kSerial);
    const std::string name = "Bench 4 meter, served to all :-)";  // 32 bytes: two pieces each way
    ASSERT_EQ(system.setName(reinterpret_cast<const uint8_t*>(name.data()), name.size()), aErrNone);
    EXPECT_EQ(_name(system), name);

    // The whole firmware update through the served link.
    BirdWriter writer;
    std::vector<uint8_t> loaderCode = testsupport::Code(600, 7);
    std::vector<uint8_t> firmwareCode = testsupport::Code(3000, 8);
    writer.AddLoader(kLoaderAddress, loaderCode);
    writer.AddFirmware(kFirmwareAddress, firmwareCode);
    writer.AddInfo(1200, "2.16.0", kSerial, "MeterSerial");
    BirdFile bird(work.Write("1200.bird", writer.FileBytes()).c_str());
    testsupport::RecordingDisplay display;
    EXPECT_EQ(_update(module, bird, display), aErrNone);
    auto flash = [&](uint32_t address) {
        return testsupport::ReadFile(work / ("flash/" + _hex8(kSerial) + "-" + _hex8(address) + ".bin"));
    };
    EXPECT_TRUE(flash(kFirmwareAddress) == std::string(firmwareCode.begin(), firmwareCode.end()))
        << "flashed " << flash(kFirmwareAddress).size() << " bytes";
    EXPECT_TRUE(flash(kLoaderAddress) == std::string(loaderCode.begin(), loaderCode.end()));

    // The module came back with its new firmware, still through the server.
    uint32_t build = 0;
    for (int attempt = 0; attempt < 50 && module.getBuild(&build) != aErrNone; ++attempt)
        usleep(100000);
    EXPECT_EQ(build, 1200u);
    module.disconnect();

    EXPECT_EQ(server.Stop(SIGINT), 0);
    EXPECT_EQ(server.Lines().back(), "stopped on Interrupt");
}

// Serving on an interface: a client on the other end of a veth pair finds the
// server by beacon; a server for this host only listens on 127.0.0.1 alone and
// is found by no beacon.
TEST(ModuleServer, BeaconsFindAServerOnAnInterfaceOnly)
{
    PRIVATE_NETWORK_OR_RERUN();
    ASSERT_EQ(system("ip addr add 192.0.2.2/24 dev vb"), 0);
    VmoduleProcess modules;
    ASSERT_TRUE(modules.Start({"--module", "serial=40F5849A", "--module", "serial=11111111,model=9"}))
        << modules.Error();
    ModuleServerProcess wide, local;
    ASSERT_TRUE(wide.Start({"-d", "40F5849A", "--interface", testsupport::kPrivateAddress, "--tcp",
                            "127.0.0.1:" + std::to_string(modules.TcpPort(kSerial))}))
        << wide.Error();
    ASSERT_TRUE(local.Start({"-d", "11111111", "--tcp", "127.0.0.1:" + std::to_string(modules.TcpPort(0x11111111))}))
        << local.Error();
    ASSERT_GE(wide.Lines().size(), 2u);
    EXPECT_NE(wide.Lines()[1].find("at 192.0.2.1:" + std::to_string(wide.Port()) + " by beacon on UDP 8585"),
              std::string::npos)
        << wide.Lines()[1];

    struct Seen {
        std::map<uint32_t, linkSpec> specs;
    } seen;
    auto collect = [](const linkSpec* spec, bool* found, void* ref) {
        static_cast<Seen*>(ref)->specs[spec->serialNumber] = *spec;
        *found = true;
        return true;
    };
    aDiscovery_Enumerate_PlexusModules(collect, &seen, _ipv4("192.0.2.2"));
    ASSERT_EQ(seen.specs.count(kSerial), 1u);
    EXPECT_EQ(seen.specs.count(0x11111111), 0u) << "a server for this host only answered a beacon";
    const linkSpec& spec = seen.specs[kSerial];
    EXPECT_EQ(spec.ipAddress, _ipv4(testsupport::kPrivateAddress));
    EXPECT_EQ(spec.ipPort, wide.Port());

    Module module(0, true, 0);
    PlexusConfig config;
    config.networkInterface = _ipv4("192.0.2.2");
    ASSERT_EQ(module.setConfig(config), aErrNone);
    ASSERT_EQ(module.connectFromSpec(spec), aErrNone);
    SystemClass system;
    system.init(&module, 0);
    uint32_t serial = 0;
    EXPECT_EQ(system.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, kSerial);
    module.disconnect();

    // The local server's port takes connections on 127.0.0.1 only (the other
    // server, which may have the same port number on 192.0.2.1, is gone first).
    EXPECT_EQ(wide.Stop(), 0);
    auto accepts = [](const char* address, uint16_t port) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = _ipv4(address);
        bool ok = connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
        close(fd);
        return ok;
    };
    EXPECT_TRUE(accepts("127.0.0.1", local.Port()));
    EXPECT_FALSE(accepts(testsupport::kPrivateAddress, local.Port()));
    EXPECT_EQ(local.Stop(), 0);
}

TEST(ModuleServer, RefusesABadCommandLineAndAModuleItCannotReach)
{
    // A public certificate (czmq's format) with no secret beside it.
    testsupport::TempDir keys;
    const std::string publicOnly =
        keys.Write("server.key", "curve\n    public-key = \"rq:rM>}U?@Lns47E1%kR.o@n%FcmmsL/@{H8]yf7\"\n");
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* says;
    };
    const Case cases[] = {
        {{"-d", "40F5849A", "--curve-key", publicOnly, "--allow", keys.path()}, 1, "holds no secret key"},
        {{}, 2, "-d SERIAL is required"},
        {{"-d", "XYZ"}, 2, "hexadecimal serial number"},
        {{"-d", "40F5849A", "--tcp", "127.0.0.1"}, 2, "--tcp needs ADDR:PORT"},
        {{"-d", "40F5849A", "--tcp", "127.0.0.1:70000"}, 2, "--tcp needs ADDR:PORT"},
        {{"-d", "40F5849A", "--interface", "127.0.0.1"}, 2, "other than loopback"},
        {{"-d", "40F5849A", "--usb", "--tcpip"}, 2, "only one of"},
        {{"-d", "40F5849A", "--bogus"}, 2, "unknown argument --bogus"},
        {{"-d", "40F5849A", "--tcp", "127.0.0.1:1"}, 1, "cannot serve module 40F5849A"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv{testsupport::ModuleServerPath()};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        testsupport::ProcessResult result = testsupport::RunProcess(argv);
        EXPECT_EQ(result.exit_status, c.status) << argv.back();
        EXPECT_NE(result.err.find(c.says), std::string::npos) << argv.back() << ": " << result.err;
    }
}
