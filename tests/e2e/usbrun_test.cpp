// usbrun: a command run with virtual modules on emulated USB, as the demo and a
// user without hardware run it. The updater it runs finds, updates and finds
// again the modules that only usbrun hosts.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <ostream>
#include <regex>
#include <string>
#include <vector>

#include "firmware/BirdWriter.h"
#include "sim/UpdateServer.h"
#include "sim/usb/UsbBench.h"
#include "support/CodeBytes.h"
#include "support/PrivateNetwork.h"
#include "support/Process.h"
#include "support/TempDir.h"
#include "support/TextLines.h"

using testsupport::HasLine;
using testsupport::HasLineMatching;
using testsupport::ProcessResult;

namespace {

constexpr uint32_t LOADER_ADDRESS = 0x20000000;
constexpr uint32_t FIRMWARE_ADDRESS = 0x00010000;
constexpr uint32_t SECOND_ADDRESS = 0x00030000;
const std::string NO_SERVER = "http://127.0.0.1:1/cgi/u";

std::string UsbrunPath()
{
    return UPDATER_BINARY_DIR "/sim/usbrun";
}

ProcessResult Usbrun(const std::vector<std::string>& args)
{
    std::vector<std::string> argv = {UsbrunPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    testsupport::RunOptions options;
    options.kill_after_seconds = 90;
    return testsupport::RunProcess(argv, options);
}

std::string Quoted(const std::string& text)
{
    return "'" + text + "'";
}

class UsbrunSession : public ::testing::Test {
protected:
    void SetUp() override
    {
        code[LOADER_ADDRESS] = testsupport::Code(900, 1);
        code[FIRMWARE_ADDRESS] = testsupport::Code(6000, 2);
        code[SECOND_ADDRESS] = testsupport::Code(1500, 3);
        BirdWriter writer;
        writer.AddLoader(LOADER_ADDRESS, code[LOADER_ADDRESS])
            .AddFirmware(FIRMWARE_ADDRESS, code[FIRMWARE_ADDRESS])
            .AddFirmware(SECOND_ADDRESS, code[SECOND_ADDRESS])
            .AddInfo(1200, "2.16.0", 0x40F5849A, "MeterSerial");
        image = dir / "image.bird";
        std::string error;
        ASSERT_TRUE(BirdWriter::WriteBytes(image, writer.FileBytes(), &error)) << error;
    }

    // The updater with this test's store and no update server, quoted for sh.
    std::string Updater() const
    {
        return Quoted(testsupport::UpdaterPath()) + " -i " + Quoted(dir.path()) + " -u " + NO_SERVER;
    }

    testsupport::TempDir dir;
    std::string image;
    std::map<uint32_t, std::vector<uint8_t>> code;
};

}  // namespace

// One session: discovery lists the modules at full and high speed and the one
// whose kernel driver is bound, the update reaches the flash of the one it
// names, and once it has restarted discovery shows its new build.
TEST_F(UsbrunSession, DiscoversUpdatesAndFindsTheUpdatedModuleAgain)
{
    PRIVATE_NETWORK_OR_RERUN();
    std::string flash = dir / "flash";
    std::string script = "set -e\n" + Updater() + " -D -t USB\n" + Updater() + " -U -d 40F5849A -f " + Quoted(image) +
                         "\n"
                         "for i in $(seq 100); do\n"
                         "  out=$(" +
                         Updater() +
                         " -D -t USB)\n"
                         "  case \"$out\" in *'2.16.0 (      1200)'*) break;; esac\n"
                         "  sleep 0.1\n"
                         "done\n"
                         "echo \"AFTER\"; echo \"$out\"\n";
    ProcessResult result =
        Usbrun({"--module",
                "serial=40F5849A,model=17,name=Bench supply,build=1000,new-version=2.16.0,"
                "new-build=1200,load-pause-ms=300,reboot-pause-ms=300,flash-dir=" +
                    flash,
                "--module", "serial=0000ABCD,model=5,address=6,name=Desk hub,usb=high", "--module",
                "serial=0BADCAFE,model=19,address=4,name=Driver bound,usb=node", "--", "sh", "-c", script});
    ASSERT_EQ(result.exit_status, 0) << result.out << result.err;

    size_t after = result.out.find("AFTER\n");
    ASSERT_NE(after, std::string::npos) << result.out;
    std::string before = result.out.substr(0, after);
    std::string later = result.out.substr(after);
    EXPECT_TRUE(
        HasLine(before, "    40F5849A  02       00      MeterSerial    2.15.0 (      1000)         Bench supply"))
        << before;
    EXPECT_TRUE(HasLine(before, "    0000ABCD  06       00      Hub2x4         2.15.0 (      1000)         Desk hub"))
        << before;
    EXPECT_TRUE(
        HasLine(before, "    0BADCAFE  04       00      EtherLink      2.15.0 (      1000)         Driver bound"))
        << before;
    EXPECT_NE(before.find("Update time: "), std::string::npos) << before;
    for (const auto& [address, bytes] : code) {
        if (address == LOADER_ADDRESS)
            continue;
        char name[32];
        snprintf(name, sizeof name, "40F5849A-%08X.bin", address);
        std::string written = testsupport::ReadFile(flash + "/" + name);
        EXPECT_EQ(written, std::string(bytes.begin(), bytes.end())) << name;
    }
    EXPECT_TRUE(
        HasLine(later, "    40F5849A  02       00      MeterSerial    2.16.0 (      1200)         Bench supply"))
        << later;
    EXPECT_TRUE(HasLine(later, "    0000ABCD  06       00      Hub2x4         2.15.0 (      1000)         Desk hub"))
        << later;
}

// A fault given on the command line reaches the module: the update fails and
// nothing of the firmware is written.
TEST_F(UsbrunSession, AFaultOfTheModuleFailsTheUpdate)
{
    PRIVATE_NETWORK_OR_RERUN();
    std::string flash = dir / "flash";
    ProcessResult result = Usbrun(
        {"--module", "serial=40F5849A,model=17,load-pause-ms=200,reboot-pause-ms=200,flash-dir=" + flash, "--fault",
         "error-status=WRITE,always", "--", "sh", "-c", Updater() + " -U -d 40F5849A -f " + Quoted(image)});
    EXPECT_EQ(result.exit_status, 1) << result.out << result.err;
    EXPECT_EQ(result.out.find("Update time: "), std::string::npos) << result.out;
    EXPECT_EQ(testsupport::ReadFile(flash + "/40F5849A-00010000.bin"), "");
}

struct BadLine {
    std::vector<std::string> args;
    int status;
    std::string message;
};

void PrintTo(const BadLine& line, std::ostream* out)
{
    for (const std::string& arg : line.args)
        *out << arg << " ";
}

class UsbrunCommandLine : public ::testing::TestWithParam<BadLine> {};

TEST_P(UsbrunCommandLine, IsRefusedWithAMessageBeforeAnythingRuns)
{
    const BadLine& line = GetParam();
    testsupport::TempDir dir;
    std::vector<std::string> args = line.args;
    // The command, when one is given, would leave a mark.
    for (auto& arg : args)
        if (arg == "MARK")
            arg = "touch " + Quoted(dir / "ran");
    ProcessResult result = Usbrun(args);
    EXPECT_EQ(result.exit_status, line.status) << result.err;
    EXPECT_NE(result.err.find(line.message), std::string::npos) << result.err;
    EXPECT_TRUE(dir.List().empty()) << "the command ran";
}

INSTANTIATE_TEST_SUITE_P(
    Usbrun, UsbrunCommandLine,
    ::testing::Values(
        BadLine{{}, 125, "usbrun: no command given"},
        BadLine{{"--module", "serial=0A0A0A0A"}, 125, "usbrun: no command given"},
        BadLine{{"--module"}, 125, "usbrun: --module needs a value"},
        BadLine{{"--bogus", "x", "--", "sh", "-c", "MARK"}, 125, "usbrun: unknown option --bogus"},
        BadLine{{"--fault", "silent", "--module", "serial=0A0A0A0A", "--", "sh", "-c", "MARK"},
                125,
                "usbrun: --fault needs a device it applies to before it"},
        BadLine{{"--module", "serial=XYZ", "--", "sh", "-c", "MARK"}, 125, "usbrun: --module serial=XYZ: "},
        BadLine{{"--module", "usb=fast", "--", "sh", "-c", "MARK"}, 125, "usb=fast: expected full, high or node"},
        BadLine{{"--module", "port=4000", "--", "sh", "-c", "MARK"}, 125, "port: a module here is on USB"},
        BadLine{{"--module", "serial", "--", "sh", "-c", "MARK"}, 125, "setting 'serial' is not key=value"},
        BadLine{{"--module", "serial=0A0A0A0A", "--fault", "upside-down", "--", "sh", "-c", "MARK"},
                125,
                "usbrun: --module serial=0A0A0A0A: "},
        BadLine{{"--module", "serial=0A0A0A0A,address=6", "--attach", "serial=0B0B0B0B,address=6", "--", "sh", "-c",
                 "MARK"},
                125,
                "module 0B0B0B0B has its router's address"},
        BadLine{{"--module", "serial=0A0A0A0A", "--", "/nonexistent/command"},
                127,
                "usbrun: cannot run /nonexistent/command"}));

struct Outcome {
    std::string script;
    int status;
};

void PrintTo(const Outcome& outcome, std::ostream* out)
{
    *out << outcome.script;
}

class UsbrunStatus : public ::testing::TestWithParam<Outcome> {};

TEST_P(UsbrunStatus, IsTheCommandsOwn)
{
    ProcessResult result = Usbrun({"--module", "serial=0A0A0A0A", "--", "sh", "-c", GetParam().script});
    EXPECT_EQ(result.exit_status, GetParam().status) << result.err;
}

INSTANTIATE_TEST_SUITE_P(Usbrun, UsbrunStatus,
                         ::testing::Values(Outcome{"exit 0", 0}, Outcome{"exit 3", 3},
                                           Outcome{"kill -TERM $$", 128 + SIGTERM},
                                           // the command sees the emulated bus and its device
                                           Outcome{"test -e \"$UMOCKDEV_DIR/dev/bus/usb/001/002\"", 0},
                                           Outcome{"test -e \"$UMOCKDEV_DIR/dev/bus/usb/001/003\"", 1}));

// The help names every kind of device with its refinements, and what usbrun
// exits with.
TEST(Usbrun, HelpNamesEveryDeviceOptionAndTheExitStatus)
{
    ProcessResult result = Usbrun({"--help"});
    EXPECT_EQ(result.exit_status, 0) << result.err;
    for (const usbemu::BenchDeviceKind& kind : usbemu::benchDeviceKinds()) {
        EXPECT_TRUE(HasLineMatching(result.out, std::regex("  --" + kind.option + " LIST .*"))) << kind.option;
        for (const std::string& refinement : kind.refinements)
            EXPECT_TRUE(HasLineMatching(result.out, std::regex("  --" + refinement + " .*"))) << refinement;
    }
    for (const char* part : {"usb=full|high|node", "Exit status: ", "127 when it is not found", "-h, --help"})
        EXPECT_NE(result.out.find(part), std::string::npos) << part;
}

TEST(Usbrun, DescribesItsDevicesWhenVerbose)
{
    ProcessResult result =
        Usbrun({"--verbose", "--module", "serial=0A0A0A0A", "--attach", "serial=0B0B0B0B", "--module",
                "serial=0C0C0C0C,usb=high", "--module", "serial=0D0D0D0D,usb=node", "--", "true"});
    EXPECT_EQ(result.exit_status, 0) << result.err;
    for (const char* line :
         {"usbrun: module 0A0A0A0A usb full-speed", "usbrun: module 0B0B0B0B attached 0A0A0A0A 4",
          "usbrun: module 0C0C0C0C usb high-speed", "usbrun: module 0D0D0D0D node /dev/tessarine.0D0D0D0D"})
        EXPECT_TRUE(HasLine(result.err, line)) << result.err;
}

// A stop signal goes to the command, and usbrun still takes its devices away.
TEST(Usbrun, HandsAStopSignalToTheCommandAndCleansUp)
{
    testsupport::TempDir dir;
    std::string mark = dir / "testbed";
    std::string script = Quoted(UsbrunPath()) + " --module serial=0A0A0A0A -- sh -c 'echo \"$UMOCKDEV_DIR\" > " +
                         Quoted(mark) + "; exec sleep 60' &\n" + "pid=$!\n" + "for i in $(seq 200); do [ -s " +
                         Quoted(mark) + " ] && break; sleep 0.05; done\n" + "kill -TERM $pid\n" +
                         "wait $pid; echo \"status $?\"\n" + "bed=$(cat " + Quoted(mark) + ")\n" +
                         "if [ -n \"$bed\" ] && [ ! -e \"$bed\" ]; then echo removed; fi\n";
    ProcessResult result = testsupport::RunProcess({"sh", "-c", script});
    EXPECT_TRUE(HasLine(result.out, "status 143")) << result.out << result.err;
    EXPECT_TRUE(HasLine(result.out, "removed")) << result.out << result.err;
}

// The i.MX boot ROM on the bench: the recovery loader goes into its RAM, its
// jump brings up the loader module that --on-jump describes, and the firmware
// lands in that module's flash.
TEST_F(UsbrunSession, RecoversAnImxChipThroughItsRomAndTheLoaderItStarts)
{
    std::string flash = dir / "flash";
    std::vector<uint8_t> code = testsupport::Code(5000, 7);
    std::string recovery = dir / "recovery.bird";
    BirdWriter writer;
    writer.AddLoader(0x20000000, testsupport::Code(1500, 8))
        .AddFirmware(0x60000000, code)
        .AddStartAddress(0x20000000)
        .AddInfo(1300, "3.0.0", 0x40F5849A, "MeterSerial");
    std::string error;
    ASSERT_TRUE(BirdWriter::WriteBytes(recovery, writer.FileBytes(), &error)) << error;

    // -N takes the recovery loader from the unknown device's latest build.
    testsupport::TempDir mirror;
    std::filesystem::create_directories(mirror / "DEADDEAD");
    ASSERT_TRUE(BirdWriter::WriteBytes(mirror / "DEADDEAD/77.bird", writer.FileBytes(), &error)) << error;
    Sim::UpdateServerOptions options;
    options.firmware_dir = mirror.path();
    Sim::UpdateServer server(options);
    ASSERT_TRUE(server.Start(error)) << error;
    std::string updater = Quoted(testsupport::UpdaterPath()) + " -i " + Quoted(dir.path()) + " -u " + server.Url();

    ProcessResult result =
        Usbrun({"--verbose", "--sdp-rom", "fingerprint=0BADF00D:C0FFEE01", "--on-jump",
                "identifier=A:B:C:D,reboot-pause-ms=200,flash-dir=" + flash, "--", "sh", "-c", updater + " -N -s USB"});
    EXPECT_EQ(result.exit_status, 0) << result.out << result.err;
    EXPECT_TRUE(HasLine(result.out, "[ 0000000D 0000000C 0000000B 0000000A ]")) << result.out;
    EXPECT_TRUE(HasLine(result.err, "usbrun: sdp-rom: jump to 0x20000000")) << result.err;
    EXPECT_TRUE(HasLine(result.err, "usbrun: sdp-rom: loader DEADDEAD on usb")) << result.err;

    result = Usbrun({"--sdp-rom", "", "--on-jump", "reboot-pause-ms=200,flash-dir=" + flash, "--", "sh", "-c",
                     Updater() + " -U -t RECOVER -s USB -d 40F5849A -f " + Quoted(recovery)});
    EXPECT_EQ(result.exit_status, 0) << result.out << result.err;
    EXPECT_NE(result.out.find("Update time: "), std::string::npos) << result.out;
    EXPECT_EQ(testsupport::ReadFile(flash + "/DEADDEAD-60000000.bin"), std::string(code.begin(), code.end()));
}
