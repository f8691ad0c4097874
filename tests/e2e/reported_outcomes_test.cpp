// What the updater reports is what happened, end to end: a failed request to the
// server fails the run, a signal leaves an "interrupted" record, a warning is no
// error, standard output under "--json" holds a document or nothing, and a store
// that is not there has no history and gets none.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "firmware/BirdWriter.h"
#include "sim/UpdateServer.h"
#include "support/CodeBytes.h"
#include "support/PrivateNetwork.h"
#include "support/Process.h"
#include "support/SelfSignedCertificate.h"
#include "support/TempDir.h"
#include "support/TextLines.h"
#include "support/VmoduleProcess.h"

namespace {

using json = nlohmann::json;
using testsupport::HasLine;
using testsupport::ProcessResult;
using testsupport::TempDir;

const std::string SN = "40F5849A";
const std::string UNREACHABLE = "http://127.0.0.1:1/cgi/u";
const std::string WRONG_PIN = "sha256//AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=";

ProcessResult Updater(const std::vector<std::string>& args, const std::map<std::string, std::string>& env = {},
                      testsupport::RunOptions options = {})
{
    options.env = env;
    options.kill_after_seconds = 30;  // a hang is a failure, not a wait
    return testsupport::RunUpdater(args, options);
}

json Parsed(const std::string& text)
{
    return json::parse(text, nullptr, false);
}

}  // namespace

TEST(ReportedOutcomes, BuildListFailsWhenAnyRequestFails)
{
    TempDir dir, store, firmware;
    SelfSignedCertificate certificate;
    ASSERT_TRUE(MakeSelfSignedCertificate(dir.path(), "server", "127.0.0.1", certificate));
    // The server knows the device but lists none of its builds.
    BirdWriter writer;
    writer.AddFirmware(0x60000000, testsupport::Code(600, 7)).AddInfo(7, "1.0.0", 0x40F5849A, "HUB8");
    std::filesystem::create_directories(firmware / SN);
    ASSERT_TRUE(BirdWriter::WriteBytes(firmware / (SN + "/7.bird"), writer.FileBytes()));
    ASSERT_TRUE(firmware.WriteFile("server.conf", "hide " + SN + " 7\n"));
    Sim::UpdateServerOptions plain;
    plain.firmware_dir = firmware.path();
    Sim::UpdateServerOptions tls = plain, refusing = plain;
    tls.cert = certificate.cert;
    tls.key = certificate.key;
    refusing.faults = {{Sim::ServerFault::Status, 500, "builds"}};
    std::vector<std::unique_ptr<Sim::UpdateServer>> servers;
    std::vector<std::string> urls;
    for (const auto& options : {plain, tls, refusing}) {
        servers.push_back(std::make_unique<Sim::UpdateServer>(options));
        std::string error;
        ASSERT_TRUE(servers.back()->Start(error)) << error;
        urls.push_back(servers.back()->Url());
    }

    struct Case {
        const char* name;
        std::string url;
        std::map<std::string, std::string> env;
        std::string error;  // empty: the server answered, with no builds
    };
    const Case cases[] = {
        {"answered, no builds", urls[0], {}, ""},
        {"unreachable", UNREACHABLE, {}, "Server request failed for " + UNREACHABLE},
        {"pin refused", urls[1], {{"UPDATER_PINNED_KEY", WRONG_PIN}}, "Server request failed for " + urls[1]},
        {"build list refused", urls[2], {}, "Failed to retrieve builds for " + SN},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<std::string> args = {"-B", "-d", SN, "-i", store.path(), "-u", c.url};
        ProcessResult text = Updater(args, c.env);
        EXPECT_FALSE(text.timed_out);
        EXPECT_EQ(text.exit_status, c.error.empty() ? 0 : 1) << text.err;
        EXPECT_EQ(HasLine(text.err, c.error), !c.error.empty()) << text.err;

        std::vector<std::string> json_args = args;
        json_args.push_back("--json");
        ProcessResult document = Updater(json_args, c.env);
        EXPECT_EQ(document.exit_status, text.exit_status);
        EXPECT_TRUE(HasLine(text.out, "No builds found for device [" + SN + "]")) << text.out;
        const json parsed = Parsed(document.out);
        EXPECT_EQ(parsed["builds"], json::array()) << document.out;
        EXPECT_EQ(parsed["error"], c.error.empty() ? json(nullptr) : json(c.error)) << document.out;
    }
}

TEST(ReportedOutcomes, JsonOutputIsOneDocumentOrNothing)
{
    TempDir store;
    const std::vector<std::vector<std::string>> command_lines = {
        {"-d", "4G"},            // a command-line error: version, copyright and usage
        {"-U"},                  // a command that misses its device
        {"-G"},                  //
        {"-N"},                  // a command that misses its port
        {"-h", "-B", "-d", SN},  // the usage: help ends the parse, yet "--json" after it counts
        {},                      // no command: the short usage
    };
    for (std::vector<std::string> args : command_lines) {
        args.insert(args.end(), {"--json", "-i", store.path(), "-u", UNREACHABLE});
        SCOPED_TRACE(args.front());
        ProcessResult result = Updater(args);
        EXPECT_EQ(result.out, "") << result.err;
        EXPECT_NE(result.err.find("Updater (Version: "), std::string::npos) << result.err;
    }
    // A command that misses its device starts no update: nothing is recorded.
    EXPECT_EQ(testsupport::ReadFile(store / "updater/history.jsonl"), "");
}

TEST(ReportedOutcomes, HistoryOfAStoreThatIsNotThereIsNone)
{
    TempDir dir;
    ProcessResult absent = Updater({"--history", "-i", dir / "nowhere"});
    EXPECT_EQ(absent.exit_status, 0) << absent.err;
    EXPECT_TRUE(HasLine(absent.out, "No history records")) << absent.out;
    EXPECT_FALSE(testsupport::IsDirectory(dir / "nowhere")) << "reading the history makes no store";
}

TEST(ReportedOutcomes, VerifiedUpdatesRecordWarningsApartAndSignalsAsInterrupted)
{
    PRIVATE_NETWORK_OR_RERUN();  // the update falls back to TCP/IP discovery
    testsupport::VmoduleProcess modules;
    const std::string common = ",model=17,discovery=192.0.2.1,load-pause-ms=200,";
    // One module that comes back with the image's firmware, two that never come back.
    const std::string back = "reboot-pause-ms=200,new-version=2.16.1,new-build=1300";
    const std::string away = "reboot-pause-ms=600000";
    ASSERT_TRUE(modules.Start({"--module", "serial=40F5849A" + common + back, "--module",
                               "serial=40F5849C" + common + away, "--module", "serial=40F5849D" + common + away}))
        << modules.Error();
    TempDir store;
    // The image writes its version with a leading zero; the module reports it without.
    BirdWriter writer;
    writer.AddLoader(0x20000000, testsupport::Code(600, 1))
        .AddFirmware(0x60000000, testsupport::Code(3000, 2))
        .AddOffsets(0x60000100, 0x60000200)
        .AddInfo(1300, "2.16.01", 0, "MeterSerial");
    ASSERT_TRUE(BirdWriter::WriteBytes(store / "fw.bird", writer.FileBytes()));
    const auto update = [&](const std::string& serial) {
        return std::vector<std::string>{"-U",       "-d", serial,       "-f", store / "fw.bird",
                                        "--verify", "-i", store.path(), "-u", UNREACHABLE};
    };

    ProcessResult verified = Updater(update("40F5849A"), {{"UPDATER_VERIFY_TIMEOUT", "abc"}});
    EXPECT_EQ(verified.exit_status, 0) << verified.out << verified.err;
    EXPECT_TRUE(HasLine(verified.out, "Verified: 40F5849A runs 2.16.1 (build 1300)")) << verified.out;
    EXPECT_TRUE(HasLine(verified.err, "Ignoring UPDATER_VERIFY_TIMEOUT=abc: not a number of seconds (1 to 86400)"))
        << verified.err;

    // Ctrl+C or SIGTERM while the module is awaited: the process ends by the
    // signal as before, and its record is written first.
    for (const auto& [serial, signal] : {std::pair{"40F5849C", SIGINT}, std::pair{"40F5849D", SIGTERM}}) {
        testsupport::RunOptions options;
        options.signal_when = "Transferred 1 blocks, 3004 total bytes";
        options.signal = signal;
        options.signal_delay_ms = 1500;
        ProcessResult interrupted = Updater(update(serial), {}, options);
        EXPECT_EQ(interrupted.signal, signal) << interrupted.out << interrupted.err;
    }

    const std::vector<std::string> lines = testsupport::Lines(testsupport::ReadFile(store / "updater/history.jsonl"));
    ASSERT_EQ(lines.size(), 3u);
    const json ok = Parsed(lines[0]);
    EXPECT_EQ(ok["result"], "ok");
    EXPECT_EQ(ok["error"], nullptr) << "a warning is no error";
    EXPECT_EQ(ok["verified"], true);
    for (size_t i = 1; i < 3; ++i) {
        const json record = Parsed(lines[i]);
        EXPECT_EQ(record["result"], "interrupted") << lines[i];
        EXPECT_EQ(record["error"], i == 1 ? "Interrupted by SIGINT" : "Interrupted by SIGTERM") << lines[i];
        EXPECT_EQ(record["verified"], nullptr) << lines[i];
        EXPECT_EQ(record["to"]["build"], 1300) << lines[i];
        EXPECT_EQ(record["transport"], "TCPIP") << lines[i];
    }
}
