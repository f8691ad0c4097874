// The lpcrom program: a host we did not write (lpc21isp) identifies the simulated chip
// and flashes it; flags set what the chip reports and which faults it shows.
#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/CodeBytes.h"
#include "support/FdIo.h"
#include "support/LpcRomProcess.h"
#include "support/Process.h"
#include "support/TempDir.h"

using testsupport::LpcRomProcess;
using testsupport::RunProcess;
using Bytes = std::vector<uint8_t>;

namespace {

// Sends text to the chip on its pty and collects what comes back within timeoutMs.
std::string _talk(const std::string& pty, const std::string& text, size_t expect)
{
    int fd = open(pty.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0)
        return "(cannot open " + pty + ")";
    termios raw{};
    tcgetattr(fd, &raw);
    cfmakeraw(&raw);
    tcsetattr(fd, TCSANOW, &raw);
    fdio::writeAll(fd, reinterpret_cast<const uint8_t*>(text.data()), text.size());
    Bytes got = fdio::readFor(fd, expect, 5000);
    close(fd);
    return std::string(got.begin(), got.end());
}

}  // namespace

TEST(LpcRomProgram, Lpc21ispIdentifiesAndFlashesTheChip)
{
    ASSERT_EQ(access("/usr/bin/lpc21isp", X_OK), 0) << "lpc21isp is installed by scripts/install-deps";
    testsupport::TempDir dir;
    Bytes image = testsupport::BootableLpcCode(256 * 1024, 17);
    std::string imagePath = dir.Write("image.bin", image);
    std::string flashPath = dir / "flash.bin";
    LpcRomProcess rom;
    ASSERT_TRUE(rom.Start({"--flash-out", flashPath})) << rom.Error();

    testsupport::RunOptions options;
    options.kill_after_seconds = 60;
    auto identify = RunProcess({"lpc21isp", "-detectonly", rom.PtyPath(), "115200", "14746"}, options);
    EXPECT_EQ(identify.exit_status, 0) << identify.out << identify.err;
    EXPECT_NE(identify.out.find("LPC1768"), std::string::npos) << identify.out;
    EXPECT_NE(identify.out.find("0x26013F37"), std::string::npos) << identify.out;

    // A chip already talking ISP does not autobaud again: reset it as a host would.
    ASSERT_TRUE(rom.Signal(SIGUSR2, "reset")) << rom.Stderr();
    auto flash = RunProcess({"lpc21isp", "-bin", imagePath, rom.PtyPath(), "115200", "14746"}, options);
    EXPECT_EQ(flash.exit_status, 0) << flash.out << flash.err;
    EXPECT_NE(flash.out.find("Download Finished"), std::string::npos) << flash.out;

    ASSERT_TRUE(rom.Signal(SIGUSR1, "flash written")) << rom.Stderr();
    std::string written = testsupport::ReadFile(flashPath);
    ASSERT_EQ(written.size(), 512u * 1024);
    EXPECT_TRUE(Bytes(written.begin(), written.begin() + static_cast<long>(image.size())) == image)
        << "the flash differs from the image";
    EXPECT_EQ(written.find_first_not_of('\xFF', image.size()), std::string::npos) << "beyond the image";
    EXPECT_NE(rom.Stderr().find("lpcrom: started 0x00000000"), std::string::npos) << rom.Stderr();
    EXPECT_EQ(rom.Stop(), 0);
}

TEST(LpcRomProgram, FlagsSetWhatTheChipReportsAndItsFaults)
{
    testsupport::TempDir dir;
    std::string flashIn = dir.Write("in.bin", Bytes{1, 2, 3, 4});
    LpcRomProcess rom;
    ASSERT_TRUE(rom.Start({"--serial", "0x1,2,0xDEADBEEF,4294967295", "--part-id", "99", "--boot-version", "2.7",
                           "--fail", "P=11,times=1", "--flash-in", flashIn, "--flash-out", dir / "out.bin"}))
        << rom.Error();
    std::string sync = "?Synchronized\r\n14746\r\nA 0\r\n";
    std::string expected = "Synchronized\r\nSynchronized\r\nOK\r\n14746\r\nOK\r\nA 0\r\n0\r\n";
    std::string answers = "0\r\n1\r\n2\r\n3735928559\r\n4294967295\r\n0\r\n99\r\n0\r\n2\r\n7\r\n11\r\n0\r\n";
    EXPECT_EQ(_talk(rom.PtyPath(), sync + "N\r\nJ\r\nK\r\nP 0 0\r\nP 0 0\r\n", expected.size() + answers.size()),
              expected + answers);
    // The port was closed and opened again: the chip is still there and synchronised.
    EXPECT_EQ(_talk(rom.PtyPath(), "J\r\n", 7), "0\r\n99\r\n");
    EXPECT_EQ(rom.Stop(), 0);
    std::string out = testsupport::ReadFile(dir / "out.bin");
    ASSERT_EQ(out.size(), 512u * 1024);
    EXPECT_EQ(out.substr(0, 5), std::string("\x01\x02\x03\x04\xFF", 5));

    struct Case {
        std::vector<std::string> args;
        std::string message;
    } bad[] = {
        {{"--serial", "1,2,3"}, "--serial needs four words"},
        {{"--serial", "1,2,3,x"}, "not a 32-bit number: x"},
        {{"--resend", "0"}, "--resend needs N[,count=C] with N from 1"},
        {{"--fail", "C"}, "--fail needs LETTER=CODE"},
        {{"--baud"}, "--baud needs a rate"},
        {{"--flash-in", dir / "missing.bin"}, "cannot read"},
        {{"--bogus"}, "unknown argument --bogus"},
    };
    for (const Case& c : bad) {
        std::vector<std::string> argv{testsupport::LpcRomPath()};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        auto result = RunProcess(argv);
        EXPECT_EQ(result.exit_status, 2) << c.message;
        EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
    }
}

// lpc21isp retries a group the ROM answers RESEND and stops at a refused copy: the
// ROM's faults look to an independent host as they would from a chip.
TEST(LpcRomProgram, Lpc21ispSeesTheFaults)
{
    testsupport::TempDir dir;
    Bytes image = testsupport::BootableLpcCode(64 * 1024, 17);
    std::string imagePath = dir.Write("image.bin", image);
    struct Case {
        std::vector<std::string> flags;
        int status;
        std::string says;
    } cases[] = {
        {{"--resend", "3,count=2"}, 0, "Download Finished"},
        {{"--fail", "C=9,skip=2,times=1"}, 9, "SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.flags[1]);
        std::string flashPath = dir / "flash.bin";
        std::vector<std::string> args = c.flags;
        args.insert(args.end(), {"--flash-out", flashPath});
        LpcRomProcess rom;
        ASSERT_TRUE(rom.Start(args)) << rom.Error();
        testsupport::RunOptions options;
        options.kill_after_seconds = 60;
        auto run = RunProcess({"lpc21isp", "-bin", imagePath, rom.PtyPath(), "115200", "14746"}, options);
        EXPECT_EQ(run.exit_status, c.status) << run.out;
        EXPECT_NE(run.out.find(c.says), std::string::npos) << run.out;
        EXPECT_EQ(rom.Stop(), 0);
        std::string written = testsupport::ReadFile(flashPath);
        ASSERT_EQ(written.size(), 512u * 1024);
        bool same = Bytes(written.begin(), written.begin() + static_cast<long>(image.size())) == image;
        EXPECT_EQ(same, c.status == 0);
    }
}
