// "updater -U --verify" and the history end to end over TCP/IP: virtual
// modules that reboot into the image's build, that come back with their old
// build, that do not come back, and one behind a routing module. One run
// checks the console, the exit status, the device attributes, the history
// lines and "--history" for all of them. In a private network namespace (the
// update falls back to TCP/IP discovery).
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "firmware/BirdWriter.h"
#include "support/CodeBytes.h"
#include "support/PrivateNetwork.h"
#include "support/Process.h"
#include "support/TempDir.h"
#include "support/TextLines.h"
#include "support/VmoduleProcess.h"

namespace {

using json = nlohmann::json;
using testsupport::ProcessResult;
using testsupport::ReadFile;
const std::string NO_SERVER = "http://127.0.0.1:1/cgi/u";

// A module that answers discovery in the namespace and restarts quickly.
std::string Module(const std::string& serial, const std::string& extra)
{
    return "serial=" + serial + ",model=17,discovery=192.0.2.1,load-pause-ms=200,reboot-pause-ms=200," + extra;
}

class Verify : public ::testing::Test {
protected:
    ProcessResult Updater(const std::vector<std::string>& args, const std::string& timeout = "")
    {
        std::vector<std::string> argv = {testsupport::UpdaterPath(), "-i", store.path(), "-u", NO_SERVER};
        argv.insert(argv.end(), args.begin(), args.end());
        testsupport::RunOptions options;
        options.working_directory = store.path();
        if (!timeout.empty())
            options.env["UPDATER_VERIFY_TIMEOUT"] = timeout;
        return testsupport::RunProcess(argv, options);
    }

    std::string Settings(const std::string& serial) const
    {
        return ReadFile(store / ("updater/" + serial + "/.settings"));
    }

    testsupport::TempDir store;
    testsupport::VmoduleProcess modules;
};

}  // namespace

TEST_F(Verify, ConfirmsRefutesAndRecordsUpdatesDirectAndBehindARouter)
{
    PRIVATE_NETWORK_OR_RERUN();
    ASSERT_TRUE(modules.Start({"--module", Module("40F5849A", "new-version=2.16.1,new-build=1300"),  //
                               "--module", Module("40F5849B", "build=1111"),               // keeps its old build
                               "--module", Module("40F5849C", "reboot-pause-ms=600000"),   // never back
                               "--module", "serial=0A0A0A0A,model=4,discovery=192.0.2.1",  //
                               "--attach",
                               "serial=0B0B0B0B,model=17,address=4,load-pause-ms=200,reboot-pause-ms=300,"
                               "new-version=2.16.1,new-build=1300"}))
        << modules.Error();
    // One generic image for every module: build 1300, version 2.16.1.
    BirdWriter writer;
    writer.AddLoader(0x20000000, testsupport::Code(600, 1))
        .AddFirmware(0x60000000, testsupport::Code(3000, 2))
        .AddOffsets(0x60000100, 0x60000200)
        .AddInfo(1300, "2.16.1", 0, "MeterSerial");
    ASSERT_TRUE(BirdWriter::WriteBytes(store / "fw.bird", writer.FileBytes()));

    // Confirmed: the module comes back running the image's build.
    ProcessResult a = Updater({"-U", "-d", "40F5849A", "-f", "fw.bird", "--verify", "-l", "WO-4711", "--json"});
    EXPECT_EQ(a.exit_status, 0) << a.out << a.err;
    EXPECT_NE(a.err.find("\nVerified: 40F5849A runs 2.16.1 (build 1300)\n"), std::string::npos) << a.err;
    json record = json::parse(a.out, nullptr, false);
    ASSERT_TRUE(record.is_object()) << a.out;
    EXPECT_EQ(record["verified"], true);
    EXPECT_EQ(record["message"], "WO-4711");
    EXPECT_EQ(record["from"], json({{"version", "2.15.0"}, {"build", 1000}}));
    EXPECT_EQ(record["to"], json({{"version", "2.16.1"}, {"build", 1300}}));
    EXPECT_EQ(record["transport"], "TCPIP");
    EXPECT_EQ(record["image"]["bytes"], writer.FileBytes().size());
    EXPECT_NE(Settings("40F5849A").find("LATEST_TRANSFER=fw.bird\n"), std::string::npos);

    // Without --verify the output is what it always was (the module is back:
    // the run above waited for it).
    ProcessResult plain = Updater({"-U", "-d", "40F5849A", "-f", "fw.bird"});
    EXPECT_EQ(plain.exit_status, 0) << plain.err;
    EXPECT_EQ(plain.err, "");
    EXPECT_EQ(std::regex_replace(plain.out, std::regex("Version: [^)]*|Update time: [0-9.]+ sec"), "X"),
              "Updater (X)\nUpdating from Birdfile: fw.bird\nTransferring loader to device\n"
              "Transferring loader block 1 of 1, 604 bytes\nTransferred 1 blocks, 604 total bytes\n"
              "Starting Load on Device\nTransferring firmware block 1 of 1, 3004 bytes\n"
              "Transferred 1 blocks, 3004 total bytes\nX\n");

    // Refuted: back with its old build, or not back at all. Neither is recorded
    // as a transfer.
    ProcessResult b = Updater({"-U", "-d", "40F5849B", "-f", "fw.bird", "--verify"});
    EXPECT_EQ(b.exit_status, 1) << b.out << b.err;
    EXPECT_NE(b.err.find("Update not confirmed: expected build 1300, 40F5849B runs build 1111\n"), std::string::npos)
        << b.err;
    EXPECT_EQ(b.out.find("Update time"), std::string::npos);
    EXPECT_EQ(Settings("40F5849B").find("LATEST_TRANSFER"), std::string::npos);

    ProcessResult c = Updater({"-U", "-d", "40F5849C", "-f", "fw.bird", "--verify"}, "3");
    EXPECT_EQ(c.exit_status, 1) << c.out << c.err;
    EXPECT_NE(c.err.find("Update not confirmed: 40F5849C did not come back within 3 s\n"), std::string::npos) << c.err;
    EXPECT_EQ(Settings("40F5849C").find("LATEST_TRANSFER"), std::string::npos);

    // Behind a router no link drops: the module is asked until it is back.
    ProcessResult r = Updater({"-U", "-d", "0B0B0B0B", "-r", "0A0A0A0A", "-f", "fw.bird", "--verify"});
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Verified: 0B0B0B0B runs 2.16.1 (build 1300)\n"), std::string::npos) << r.out << r.err;

    // The history holds every run, one parseable line each, newest first in
    // "--history"; -d selects exactly one module's records.
    std::vector<std::string> lines = testsupport::Lines(ReadFile(store / "updater/history.jsonl"));
    ASSERT_EQ(lines.size(), 5u);
    const char* serials[] = {"40F5849A", "40F5849A", "40F5849B", "40F5849C", "0B0B0B0B"};
    const char* results[] = {"ok", "ok", "failed", "failed", "ok"};
    const json verified[] = {true, nullptr, false, false, true};
    for (size_t i = 0; i < lines.size(); ++i) {
        json line = json::parse(lines[i], nullptr, false);
        ASSERT_TRUE(line.is_object()) << lines[i];
        EXPECT_EQ(line["serial"], serials[i]) << lines[i];
        EXPECT_EQ(line["result"], results[i]) << lines[i];
        EXPECT_EQ(line["verified"], verified[i]) << lines[i];
    }
    EXPECT_EQ(json::parse(lines[2])["error"], "Update not confirmed: expected build 1300, 40F5849B runs build 1111");
    EXPECT_EQ(json::parse(lines[4])["router"], "0A0A0A0A");

    ProcessResult mine = Updater({"--history", "-d", "40F5849A", "--json"});
    EXPECT_EQ(mine.exit_status, 0) << mine.err;
    json list = json::parse(mine.out, nullptr, false);
    ASSERT_TRUE(list.is_array()) << mine.out;
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0]["verified"], nullptr) << "newest first";
    EXPECT_EQ(list[1]["message"], "WO-4711");

    ProcessResult table = Updater({"--history"});
    EXPECT_EQ(table.exit_status, 0) << table.err;
    std::vector<std::string> rows = testsupport::Lines(table.out);
    ASSERT_EQ(rows.size(), 7u) << table.out;  // version line, header, five records
    EXPECT_EQ(rows[2].substr(25, 24), "update   0B0B0B0B ok    ") << rows[2];
    EXPECT_NE(rows[6].find("WO-4711"), std::string::npos) << rows[6];

    // A history that cannot be written costs a warning, not the update.
    std::filesystem::remove(store / "updater/history.jsonl");
    std::filesystem::create_symlink("/dev/full", store / "updater/history.jsonl");
    ProcessResult full = Updater({"-U", "-d", "40F5849A", "-f", "fw.bird", "--verify"});
    EXPECT_EQ(full.exit_status, 0) << full.out << full.err;
    EXPECT_TRUE(testsupport::HasLineMatching(full.err, std::regex("Warning: the history was not written: .*")))
        << full.err;
}
