// "updater -U" over TCP/IP finds a module that restarted into its loader at the
// address it had, without needing discovery to find it again. Runs in a private
// network namespace (the update uses TCP/IP discovery).
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "firmware/BirdWriter.h"
#include "support/CodeBytes.h"
#include "support/DiscoveryPeers.h"
#include "support/PrivateNetwork.h"
#include "support/Process.h"
#include "support/TempDir.h"
#include "support/VmoduleProcess.h"

namespace {

constexpr uint32_t MODULE_SERIAL = 0x40F5849A;
const std::string SN = "40F5849A";
const std::string NO_SERVER = "http://127.0.0.1:1/cgi/u";
constexpr uint32_t LOADER_ADDRESS = 0x20000000;
constexpr uint32_t FIRMWARE_ADDRESS = 0x60000000;

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(Reconnect, AfterTheLoaderStartsTheModuleIsFoundAgainAtItsLastAddress)
{
    PRIVATE_NETWORK_OR_RERUN();
    // The module answers discovery once (a responder stands in for its own
    // answering) and never after it restarted into the loader: only the address
    // it had can find it again, however long its restart takes.
    for (unsigned pauseMs : {300u, 1500u}) {
        SCOPED_TRACE(pauseMs);
        testsupport::TempDir store, work;
        std::vector<uint8_t> loader = testsupport::Code(600, 5), firmware = testsupport::Code(3000, 6);
        BirdWriter writer;
        writer.AddLoader(LOADER_ADDRESS, loader)
            .AddFirmware(FIRMWARE_ADDRESS, firmware)
            .AddInfo(1200, "2.16.0", MODULE_SERIAL, "MeterSerial");
        std::string image = work / "fw.bird";
        ASSERT_TRUE(BirdWriter::WriteBytes(image, writer.FileBytes()));

        testsupport::VmoduleProcess module;
        std::string pause = std::to_string(pauseMs);
        ASSERT_TRUE(module.Start({"--module", "serial=" + SN + ",model=17,listen=" + testsupport::kPrivateAddress +
                                                  ",load-pause-ms=" + pause +
                                                  ",reboot-pause-ms=200,flash-dir=" + (work / "flash")}))
            << module.Error();
        uint16_t port = module.TcpPort(MODULE_SERIAL);
        ASSERT_NE(port, 0);
        testsupport::TcpipDiscoveryResponder discovery(
            testsupport::kPrivateAddressIPv4, testsupport::TcpipDiscoveryReply(2, port, MODULE_SERIAL, 17), 1, 0, 1);
        ASSERT_TRUE(discovery.ready());

        auto start = std::chrono::steady_clock::now();
        testsupport::ProcessResult result = testsupport::RunProcess(
            {testsupport::UpdaterPath(), "-i", store.path(), "-u", NO_SERVER, "-U", "-d", SN, "-f", image});
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_EQ(result.exit_status, 0) << result.out << result.err;
        EXPECT_NE(result.out.find("Update time: "), std::string::npos) << result.out;
        EXPECT_EQ(ReadFile(work / ("flash/" + SN + "-20000000.bin")), std::string(loader.begin(), loader.end()));
        EXPECT_EQ(ReadFile(work / ("flash/" + SN + "-60000000.bin")), std::string(firmware.begin(), firmware.end()));
        // Far below what waiting out discovery windows for it would take (15 attempts
        // of 3 s, and then failing).
        EXPECT_LT(seconds, 25.0);
    }
}

}  // namespace
