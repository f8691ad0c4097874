// updater-agent end to end, in a private network namespace, against the DDI
// server simulator and virtual modules over TCP/IP: one agent for eight
// modules, six of them given a deployment (one with a wrong hash, one
// cancelled before it starts, one whose module drops at its third WRITE). The
// server's record holds the feedback of every action and the result it came
// to; the modules run what the successful actions put on them; the store
// keeps only checked images. A transfer cut at half goes on with a Range
// request; a refused token and an unreachable server are exit status 1.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "firmware/BirdWriter.h"
#include "support/CodeBytes.h"
#include "support/PeerProcess.h"
#include "support/PrivateNetwork.h"
#include "support/Process.h"
#include "support/TempDir.h"
#include "support/TextLines.h"
#include "support/VmoduleProcess.h"

namespace {

using json = nlohmann::json;
using testsupport::ProcessResult;

const std::string TOKEN = "gw-7c1e4f";
const std::vector<std::string> UPDATED = {"5B000001", "5B000002", "5B000003"};
const std::string WRONG_HASH = "5B000004", CANCELLED = "5B000005", DROPPER = "5D000000";
const std::vector<std::string> IDLE = {"5C000001", "5C000002"};

std::string Settings(const std::string& serial)
{
    return "serial=" + serial +
           ",model=17,discovery=192.0.2.1,load-pause-ms=200,reboot-pause-ms=200,new-version=2.16.1,new-build=1300";
}

class Agent : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("UPDATER_DISCOVERY_LOCK", (work / "discovery.lock").c_str(), 1);
        BirdWriter writer;
        writer.AddLoader(0x20000000, testsupport::Code(600, 1))
            .AddFirmware(0x60000000, testsupport::Code(9000, 2))
            .AddOffsets(0x60000100, 0x60000200)
            .AddInfo(1300, "2.16.1", 0, "MeterSerial");
        std::filesystem::create_directories(work / "artifacts");
        ASSERT_TRUE(BirdWriter::WriteBytes(work / "artifacts/meter.bird", writer.FileBytes()));
        work.Write("token", TOKEN + "\n");
    }
    void TearDown() override { unsetenv("UPDATER_DISCOVERY_LOCK"); }

    // Starts the server with the deployments of the script; its URL.
    std::string StartServer(const std::string& script, const std::vector<std::string>& faults = {})
    {
        work.Write("script", script);
        std::vector<std::string> args = {"--artifacts",  work / "artifacts", "--gateway-token-file",
                                         work / "token", "--script",         work / "script",
                                         "--sleep",      "00:00:01"};
        for (const std::string& fault : faults)
            args.insert(args.end(), {"--fault", fault});
        server.Launch(args);
        server.AwaitReady(1000);  // it prints its URL and serves: no "ready" line
        return server.Lines().empty() ? "" : server.Lines()[0];
    }

    ProcessResult RunAgent(const std::string& url, const std::vector<std::string>& extra = {})
    {
        testsupport::RunOptions options;
        options.kill_after_seconds = 240;
        return testsupport::RunProcess(AgentArgs(url, extra), options);
    }

    std::vector<std::string> AgentArgs(const std::string& url, const std::vector<std::string>& extra)
    {
        std::vector<std::string> argv = {UPDATER_BINARY_DIR "/agent/updater-agent",
                                         "--server",
                                         url,
                                         "--tenant",
                                         "default",
                                         "--gateway-token-file",
                                         work / "token",
                                         "-t",
                                         "TCPIP",
                                         "-i",
                                         store.path()};
        argv.insert(argv.end(), extra.begin(), extra.end());
        return argv;
    }

    json Lab(const std::string& url, const std::string& what)
    {
        ProcessResult got = testsupport::RunProcess({"curl", "-s", url + "/sim/" + what});
        return json::parse(got.out, nullptr, false);
    }

    // Each action's feedback as "channel:execution/finished" words, by controller id.
    std::map<std::string, json> Actions(const std::string& url)
    {
        std::map<std::string, json> actions;
        for (const json& action : Lab(url, "actions"))
            actions[action["controllerId"]] = action;
        return actions;
    }

    static std::vector<std::string> Sequence(const json& action)
    {
        std::vector<std::string> words;
        for (const json& feedback : action["feedback"])
            words.push_back(feedback.value("channel", "") + ":" + feedback.value("execution", "") + "/" +
                            feedback.value("finished", ""));
        return words;
    }

    static std::string Details(const json& action)
    {
        std::string text;
        for (const json& feedback : action["feedback"])
            for (const json& line : feedback.value("details", json::array()))
                text += line.get<std::string>() + "\n";
        return text;
    }

    testsupport::TempDir store, work;
    testsupport::PeerProcess server{UPDATER_BINARY_DIR "/sim/ddi-server"};
    testsupport::VmoduleProcess modules, dropper;
};

TEST_F(Agent, EightModulesSixDeploymentsEachEndsAsTheServerExpects)
{
    PRIVATE_NETWORK_OR_RERUN();
    std::vector<std::string> args;
    for (const auto& serials : {UPDATED, IDLE, {WRONG_HASH, CANCELLED}})
        for (const std::string& serial : serials)
            args.insert(args.end(), {"--module", Settings(serial)});
    ASSERT_TRUE(modules.Start(args)) << modules.Error();
    ASSERT_TRUE(dropper.Start({"--module", Settings(DROPPER), "--fault", "drop-at=WRITE,after=2,always"}))
        << dropper.Error();
    std::string script;
    for (const std::string& serial : UPDATED)
        script += "deploy " + serial + " meter.bird\n";
    script += "deploy " + WRONG_HASH + " meter.bird sha256=wrong\n";
    script += "deploy " + CANCELLED + " meter.bird cancel\n";
    script += "deploy " + DROPPER + " meter.bird\n";
    const std::string url = StartServer(script);
    ASSERT_EQ(url.rfind("http://127.0.0.1:", 0), 0u) << server.Stderr();

    const ProcessResult run = RunAgent(url, {"--once", "--jobs", "4"});
    EXPECT_EQ(run.exit_status, 1) << "two actions failed\n" << run.out << run.err;

    // The feedback sequences and results the API expects of each kind of action.
    const std::vector<std::string> full = {"deployment:proceeding/none", "deployment:downloaded/none",
                                           "deployment:proceeding/none"};
    auto closed = [&](const char* finished) {
        std::vector<std::string> sequence = full;
        sequence.push_back(std::string("deployment:closed/") + finished);
        return sequence;
    };
    std::map<std::string, json> actions = Actions(url);
    ASSERT_EQ(actions.size(), 6u) << run.out;
    for (const std::string& serial : UPDATED) {
        EXPECT_EQ(Sequence(actions[serial]), closed("success")) << serial;
        EXPECT_EQ(actions[serial]["result"], "success") << serial;
        EXPECT_NE(Details(actions[serial]).find("Verified: " + serial + " runs 2.16.1 (build 1300)"), std::string::npos)
            << Details(actions[serial]);
    }
    EXPECT_EQ(Sequence(actions[WRONG_HASH]),
              (std::vector<std::string>{"deployment:proceeding/none", "deployment:closed/failure"}));
    EXPECT_EQ(actions[WRONG_HASH]["result"], "failure");
    EXPECT_NE(Details(actions[WRONG_HASH]).find("checksum mismatch"), std::string::npos);
    EXPECT_EQ(Sequence(actions[CANCELLED]), (std::vector<std::string>{"cancel:closed/success"}));
    EXPECT_EQ(actions[CANCELLED]["result"], "canceled");
    EXPECT_EQ(Sequence(actions[DROPPER]), closed("failure"));
    EXPECT_EQ(actions[DROPPER]["result"], "failure");
    EXPECT_NE(Details(actions[DROPPER]).find("failed in its firmware step"), std::string::npos)
        << Details(actions[DROPPER]);
    for (const json& entry : Lab(url, "record")) {
        if (entry["kind"] == "feedback" || entry["kind"] == "cancelFeedback") {
            EXPECT_EQ(entry.value("timestamp", true), false) << "no timestamp sent: " << entry.dump();
        }
    }

    // A second round has nothing to do but to tell the server what the modules run now.
    const ProcessResult again = RunAgent(url, {"--once"});
    EXPECT_EQ(again.exit_status, 0) << again.out << again.err;
    std::map<std::string, std::string> builds;
    for (const json& target : Lab(url, "targets"))
        builds[target["controllerId"]] = target["attributes"].value("build", "");
    EXPECT_EQ(builds.size(), 8u);
    for (const auto& [serial, build] : builds) {
        const bool updated = std::find(UPDATED.begin(), UPDATED.end(), serial) != UPDATED.end();
        EXPECT_EQ(build, updated ? "1300" : "1000") << serial;
    }

    // The store: the checked image of each module that got one, nothing of the
    // wrong artifact or the cancelled action, no record of an open action left.
    std::vector<std::string> images;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(store / "updater"))
        if (entry.is_regular_file() && entry.path().filename().string()[0] != '.' &&
            entry.path().filename() != "history.jsonl")
            images.push_back(std::filesystem::relative(entry.path(), store / "updater").string());
    std::sort(images.begin(), images.end());
    EXPECT_EQ(images, (std::vector<std::string>{"5B000001/1300.bird", "5B000002/1300.bird", "5B000003/1300.bird",
                                                "5D000000/1300.bird"}));
    // Each action has its history record with its action id.
    std::map<std::string, std::string> history;
    for (const std::string& line : testsupport::Lines(store.Read("updater/history.jsonl"))) {
        const json record = json::parse(line, nullptr, false);
        history[record.value("serial", "")] = record.value("result", "") + " " + record.value("action", "");
    }
    for (const auto& [serial, action] : actions) {
        const std::string result = action["result"] == "success" ? "ok"
                                   : serial == CANCELLED         ? "interrupted"
                                                                 : "failed";
        EXPECT_EQ(history[serial], result + " " + action["id"].get<std::string>()) << serial;
    }
}

TEST_F(Agent, CutDownloadGoesOnWithARangeRequest)
{
    PRIVATE_NETWORK_OR_RERUN();
    ASSERT_TRUE(modules.Start({"--module", Settings(UPDATED[0])})) << modules.Error();
    const std::string url = StartServer("deploy " + UPDATED[0] + " meter.bird\n", {"cut@download"});
    const ProcessResult run = RunAgent(url, {"--once"});
    EXPECT_EQ(run.exit_status, 0) << run.out << run.err;
    std::vector<std::string> downloads;
    for (const json& entry : Lab(url, "record"))
        if (entry["kind"] == "download")
            downloads.push_back(entry.value("range", "") + " " + std::to_string(entry.value("status", 0)));
    const uintmax_t half = std::filesystem::file_size(work / "artifacts/meter.bird") / 2;
    EXPECT_EQ(downloads, (std::vector<std::string>{" 200", "bytes=" + std::to_string(half) + "- 206"}));
    EXPECT_EQ(Actions(url)[UPDATED[0]]["result"], "success");
}

TEST_F(Agent, RefusedTokenOrUnreachableServerIsExitStatusOne)
{
    PRIVATE_NETWORK_OR_RERUN();
    ASSERT_TRUE(modules.Start({"--module", Settings(UPDATED[0])})) << modules.Error();
    const std::string url = StartServer("");
    const struct {
        const char* token;
        std::string url;
        const char* error;
    } cases[] = {
        {"wrong", url, "refused the gateway token (HTTP 401)"},
        {TOKEN.c_str(), "http://127.0.0.1:1", "did not answer"},
    };
    for (const auto& c : cases) {
        work.Write("token", c.token);
        const ProcessResult run = RunAgent(c.url, {"--once"});
        EXPECT_EQ(run.exit_status, 1) << run.out << run.err;
        EXPECT_NE(run.err.find(c.error), std::string::npos) << run.err;
    }
}

// Killed in the middle of an update, the agent started again does not start the
// update over: it closes the action with what it finds the module running.
TEST_F(Agent, RestartedDuringAnUpdateReportsWhatTheModuleRuns)
{
    PRIVATE_NETWORK_OR_RERUN();
    ASSERT_TRUE(modules.Start({"--module", Settings(UPDATED[0])})) << modules.Error();
    const std::string url = StartServer("deploy " + UPDATED[0] + " meter.bird\n");
    const std::vector<std::string> argv = AgentArgs(url, {"--poll", "1"});
    const pid_t agent = fork();
    if (agent == 0) {
        std::vector<char*> args;
        for (const std::string& arg : argv)
            args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    // The third feedback says the update runs.
    bool updating = false;
    for (int i = 0; i < 600 && !updating; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const json actions = Lab(url, "actions");
        updating = actions.size() == 1 && actions[0]["feedback"].size() == 3;
    }
    kill(agent, SIGKILL);
    waitpid(agent, nullptr, 0);
    ASSERT_TRUE(updating);
    std::this_thread::sleep_for(std::chrono::seconds(2));  // the module's own restart settles

    const ProcessResult again = RunAgent(url, {"--once"});
    const json action = Actions(url)[UPDATED[0]];
    std::vector<std::string> sequence = Sequence(action);
    ASSERT_EQ(sequence.size(), 4u) << again.out << again.err;
    EXPECT_EQ(sequence[2], "deployment:proceeding/none");  // no second download, no second update
    const std::string details = Details(action);
    EXPECT_NE(details.find("the agent restarted during the update of " + UPDATED[0]), std::string::npos) << details;
    const ProcessResult listing =
        testsupport::RunProcess({testsupport::UpdaterPath(), "-i", store.path(), "-D", "-t", "TCPIP"});
    const bool runs1300 = listing.out.find(" 1300)") != std::string::npos;
    EXPECT_EQ(sequence[3], runs1300 ? "deployment:closed/success" : "deployment:closed/failure") << listing.out;
    EXPECT_EQ(again.exit_status, runs1300 ? 0 : 1) << again.out << again.err;
}

}  // namespace
