// The updater binary's command line, usage, store directory and command
// preconditions. Commands that may search for modules run in a private network
// namespace; the update server is never the default one.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/Process.h"
#include "support/TempDir.h"
#include "app/Usage.h"

namespace {

using testsupport::IsDirectory;
using testsupport::PathMode;
using testsupport::ProcessResult;
using testsupport::RunUpdater;
using testsupport::RunUpdaterIsolated;
using testsupport::TempDir;

const std::string LOCAL_URL = "http://127.0.0.1:1/cgi/u";

std::string VersionLine()
{
    return "Updater (" + _app_version_text() + ")\n";
}

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

class Cli : public ::testing::Test {
protected:
    void SetUp() override { saved_umask_ = umask(022); }
    void TearDown() override { umask(saved_umask_); }

    // Runs with a private store and a local server URL.
    ProcessResult Run(std::vector<std::string> args)
    {
        args.insert(args.end(), {"-i", temp.path(), "-u", LOCAL_URL});
        return RunUpdater(args);
    }
    ProcessResult RunIsolated(std::vector<std::string> args)
    {
        args.insert(args.end(), {"-i", temp.path(), "-u", LOCAL_URL});
        return RunUpdaterIsolated(args);
    }

    TempDir temp;

private:
    mode_t saved_umask_ = 0;
};

TEST_F(Cli, NoArgumentsPrintVersionCopyrightAndShortUsage)
{
    ProcessResult result = RunUpdater({});
    EXPECT_EQ(result.exit_status, 0);
    ASSERT_EQ(result.out.rfind(VersionLine(), 0), 0u) << result.out;
    EXPECT_TRUE(Contains(result.out.substr(VersionLine().size()), "Copyright (c) ")) << result.out;
    EXPECT_EQ(std::count(result.out.begin(), result.out.end(), '\n'), 2);
    EXPECT_EQ(result.err, _usage_text(false, false));
}

TEST_F(Cli, HelpPrintsTheFullUsageAndExtendedOnlyAfterLogMask)
{
    ProcessResult help = RunUpdater({"-h", "-X", "0x10000"});
    EXPECT_EQ(help.exit_status, 0);
    EXPECT_EQ(help.err, _usage_text(false, true));

    ProcessResult extended = RunUpdater({"-X", "0x10000", "--help"});
    EXPECT_EQ(extended.exit_status, 0);
    EXPECT_EQ(extended.err, _usage_text(true, true));
}

TEST_F(Cli, CheckCommandCreatesTheStoreAndPrintsOnlyTheVersion)
{
    ProcessResult result = RunUpdater({"-C", "-i", temp / "deep/er"});
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.out, VersionLine());
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(IsDirectory(temp / "deep/er/updater"));
    EXPECT_EQ(PathMode(temp / "deep/er/updater"), 0755);
    EXPECT_EQ(PathMode(temp / "deep"), 0755);
}

TEST_F(Cli, CommandsWithoutStepsOnlyCreateTheStore)
{
    for (std::vector<std::string> args : {std::vector<std::string>{"-I"}, {"-Z", "anything"}}) {
        ProcessResult result = Run(args);
        EXPECT_EQ(result.exit_status, 0) << args[0];
        EXPECT_EQ(result.out, VersionLine());
        EXPECT_EQ(result.err, "");
    }
    EXPECT_TRUE(IsDirectory(temp / "updater"));
}

TEST_F(Cli, StoreBelowARegularFileFails)
{
    ASSERT_TRUE(temp.WriteFile("file", "x"));
    ProcessResult result = RunUpdater({"-C", "-i", temp / "file/store"});
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.out, VersionLine());
    EXPECT_EQ(result.err, "Could not find updater directory at " + temp.path() + "/file/store/updater\n");
}

TEST_F(Cli, ArgumentErrorsPrintVersionCopyrightAndShortUsage)
{
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const Case cases[] = {
        {{"-B", "-d", "4G"}, "Invalid serial number obtained from argument [4G]\n"},
        {{"-B", "-d", "0x"}, "Invalid serial number obtained from argument []\n"},
        {{"-B", "-d", "1", "-r", "xyz"}, "Invalid router serial number obtained from argument [xyz]\n"},
        {{"-B", "-t", "usb"}, "Invalid transport type:[usb]\nMust be one of the following: USB, TCPIP, RECOVER\n"},
        {{"-Y"}, "Unhandled command: [-Y]\n"},
        {{"-B", "--https"},
         "Multiple update server URLs specified. Choose one of: --https, --http, or -U <host:port>.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args.back());
        ProcessResult result = Run(c.args);
        EXPECT_EQ(result.exit_status, 1);
        EXPECT_EQ(result.err, c.message + _usage_text(false, false));
        ASSERT_EQ(result.out.rfind(VersionLine(), 0), 0u);
        EXPECT_TRUE(Contains(result.out, "Copyright (c) "));
    }
    // A parse error stops before the store is touched.
    EXPECT_FALSE(IsDirectory(temp / "updater"));
}

TEST_F(Cli, LogMaskWithLeftoverCharactersStillRuns)
{
    ProcessResult result = Run({"-C", "-X", "12G"});
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.err, "Invalid format for \"-X\" parameter, unprocessed characters [G]\n");
    EXPECT_EQ(result.out, VersionLine());
}

TEST_F(Cli, AppPackageTracesTheParameters)
{
    ProcessResult result = RunUpdater({"-X", "0x10000", "-C", "-i", temp.path()});
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.err, "\nApplication parameters:[updater]\n\t[" + testsupport::UpdaterPath() +
                              "]\n\t[-X]\n\t[0x10000]\n\t[-C]\n\t[-i]\n\t[" + temp.path() + "]\n");
}

TEST_F(Cli, ListingCommandsNeedADevice)
{
    const std::pair<const char*, const char*> cases[] = {
        {"-B", "Error must supply a serial number for the List Builds command\n"},
        {"-L", "Error must supply a serial number for the List Local Builds command\n"},
        {"-J", "Error must supply a serial number for the Get JWT command\n"},
    };
    for (const auto& [command, message] : cases) {
        SCOPED_TRACE(command);
        ProcessResult result = Run({command});
        EXPECT_EQ(result.exit_status, 1);
        EXPECT_EQ(result.out, VersionLine());
        EXPECT_EQ(result.err, message + _usage_text(false, false));
    }
}

TEST_F(Cli, GetBuildNeedsADevice)
{
    ProcessResult result = Run({"-G"});
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.out, VersionLine());
    EXPECT_EQ(result.err, "-G must specify a specific device via -d\n--help for usage information\n");
}

TEST_F(Cli, GetBuildAnnouncesWhatItRetrievesAndFailsWithoutServer)
{
    ProcessResult latest = Run({"-G", "-d", "40F5849A"});
    EXPECT_EQ(latest.exit_status, 1);
    EXPECT_EQ(latest.out, VersionLine() +
                              "Retrieving firmware for device with serial number 40F5849A\n"
                              "No build specified\n"
                              "Using Latest build\n");
    EXPECT_NE(latest.err, "");

    ProcessResult given = Run({"-G", "-d", "0x40f5849a", "-b", "99528558"});
    EXPECT_EQ(given.exit_status, 1);
    EXPECT_EQ(given.out, VersionLine() +
                             "Retrieving firmware for device with serial number 40F5849A\n"
                             "Retrieving firmware build 99528558\n");
}

TEST_F(Cli, FingerprintNeedsASerialPort)
{
    ProcessResult result = Run({"-N"});
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.out, VersionLine());
    EXPECT_EQ(result.err, "Must specify the serial port used for connecting\n");
}

TEST_F(Cli, AFingerprintPortThatDoesNotOpenIsNamedWithItsCause)
{
    ProcessResult result = Run({"-N", "-s", temp / "no-such-port"});
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.err, "Could not open serial port " + (temp / "no-such-port") + ": Not found\n");
}

TEST_F(Cli, UpdateNeedsADeviceUnlessRecovering)
{
    ProcessResult result = RunIsolated({"-U"});
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.out, VersionLine());
    EXPECT_EQ(result.err, "Must specify the specific device to be updated\n");
}

}  // namespace
