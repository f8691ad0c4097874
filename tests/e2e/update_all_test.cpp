// "updater -U --all" end to end over TCP/IP, in a private network namespace:
// twelve virtual modules, three of them current, one that drops its link at
// its third WRITE, two behind a router. A dry run touches nothing; the run
// updates eight, fails one and leaves the three current alone, the router
// after its modules; a second run updates the one left. Bad input is one line
// and touches nothing.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <pugixml.hpp>

#include <algorithm>
#include <filesystem>
#include <map>
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

const std::string ROUTER = "0A0A0A0A";
const std::string DROPPER = "5D000000";
const std::vector<std::string> CURRENT = {"5C000001", "5C000002", "5C000003"};
const std::vector<std::string> BEHIND = {"5B000001", "5B000002", "5B000003", "5B000004", "5B000005"};
const std::vector<std::string> ATTACHED = {"0B0B0B01", "0B0B0B02"};

std::string Settings(const std::string& serial, const std::string& extra = "")
{
    return "serial=" + serial + ",model=17,discovery=192.0.2.1,load-pause-ms=200,reboot-pause-ms=200" + extra;
}
const std::string UPDATES_TO_1300 = ",new-version=2.16.1,new-build=1300";

std::vector<uint8_t> Image(const char* model)
{
    BirdWriter writer;
    writer.AddLoader(0x20000000, testsupport::Code(600, 1))
        .AddFirmware(0x60000000, testsupport::Code(3000, 2))
        .AddOffsets(0x60000100, 0x60000200)
        .AddInfo(1300, "2.16.1", 0, model);
    return writer.FileBytes();
}

class UpdateAll : public ::testing::Test {
protected:
    void SetUp() override { setenv("UPDATER_DISCOVERY_LOCK", (work / "discovery.lock").c_str(), 1); }
    void TearDown() override { unsetenv("UPDATER_DISCOVERY_LOCK"); }

    ProcessResult Updater(const std::vector<std::string>& args)
    {
        // No -u: the plan asks the store alone, and nothing reaches a server.
        std::vector<std::string> argv = {testsupport::UpdaterPath(), "-i", store.path()};
        argv.insert(argv.end(), args.begin(), args.end());
        testsupport::RunOptions options;
        options.working_directory = work.path();
        options.kill_after_seconds = 240;
        return testsupport::RunProcess(argv, options);
    }

    void StartModules()
    {
        std::vector<std::string> args;
        for (const std::string& serial : CURRENT)
            args.insert(args.end(), {"--module", Settings(serial, ",version=2.16.1,build=1300")});
        for (const std::string& serial : BEHIND)
            args.insert(args.end(), {"--module", Settings(serial, UPDATES_TO_1300)});
        args.insert(args.end(), {"--module", "serial=" + ROUTER + ",model=4,discovery=192.0.2.1,load-pause-ms=200," +
                                                 "reboot-pause-ms=200" + UPDATES_TO_1300});
        for (size_t i = 0; i < ATTACHED.size(); ++i)
            args.insert(args.end(),
                        {"--attach", "serial=" + ATTACHED[i] + ",model=17,address=" + std::to_string(4 + 2 * i) +
                                         ",load-pause-ms=200," + "reboot-pause-ms=200" + UPDATES_TO_1300});
        ASSERT_TRUE(modules.Start(args)) << modules.Error();
        ASSERT_TRUE(
            dropper.Start({"--module", Settings(DROPPER, UPDATES_TO_1300), "--fault", "drop-at=WRITE,after=2,always"}))
            << dropper.Error();
    }

    // Every module's newest build in the store: build 1300, the router's for its own model.
    void StoreBuilds()
    {
        std::vector<std::string> serials = CURRENT;
        serials.insert(serials.end(), BEHIND.begin(), BEHIND.end());
        serials.insert(serials.end(), ATTACHED.begin(), ATTACHED.end());
        serials.push_back(DROPPER);
        serials.push_back(ROUTER);
        for (const std::string& serial : serials) {
            std::filesystem::create_directories(store / ("updater/" + serial));
            ASSERT_TRUE(BirdWriter::WriteBytes(store / ("updater/" + serial + "/1300.bird"),
                                               Image(serial == ROUTER ? "Router2" : "MeterSerial")));
        }
    }

    std::vector<json> History()
    {
        std::vector<json> records;
        for (const std::string& line : testsupport::Lines(store.Read("updater/history.jsonl")))
            records.push_back(json::parse(line, nullptr, false));
        return records;
    }

    testsupport::TempDir store, work;
    testsupport::VmoduleProcess modules, dropper;
};

// The result each module's test case in the JUnit report came to.
std::map<std::string, std::string> JunitResults(const std::string& path, std::string& failureText)
{
    std::map<std::string, std::string> results;
    pugi::xml_document document;
    if (!document.load_file(path.c_str()))
        return results;
    for (const pugi::xpath_node& node : document.select_nodes("//testcase")) {
        const pugi::xml_node testcase = node.node();
        std::string result = "passed";
        if (testcase.child("failure")) {
            result = "failure";
            failureText = testcase.child("failure").attribute("message").value();
        } else if (testcase.child("skipped")) {
            result = "skipped";
        }
        results[testcase.attribute("name").value()] = result;
    }
    return results;
}

// Runs the program with both outputs on one pipe; once `count` modules said
// they verify, sends SIGINT. What it printed and its exit status.
std::pair<std::string, int> InterruptedAfterVerifying(const std::vector<std::string>& argv, size_t count)
{
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0)
        return {"no pipe", -1};
    const pid_t child = fork();
    if (child == 0) {
        dup2(pipeEnds[1], 1);
        dup2(pipeEnds[1], 2);
        close(pipeEnds[0]);
        std::vector<char*> args;
        for (const std::string& arg : argv)
            args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(pipeEnds[1]);
    std::string out;
    bool sent = false;
    for (int waited = 0; waited < 120000; waited += 100) {
        pollfd readable{pipeEnds[0], POLLIN, 0};
        if (poll(&readable, 1, 100) <= 0)
            continue;
        char chunk[4096];
        const ssize_t got = read(pipeEnds[0], chunk, sizeof chunk);
        if (got <= 0)
            break;
        out.append(chunk, size_t(got));
        size_t verifying = 0;
        for (size_t at = out.find(": verify\n"); at != std::string::npos; at = out.find(": verify\n", at + 1))
            ++verifying;
        if (!sent && verifying >= count)
            sent = kill(child, SIGINT) == 0;
    }
    close(pipeEnds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return {out, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

}  // namespace

TEST_F(UpdateAll, UpdatesWhatIsBehindRouterLastFailsAloneAndFinishesOnTheSecondRun)
{
    PRIVATE_NETWORK_OR_RERUN();
    StartModules();
    StoreBuilds();

    // Discovery marks the nine behind, those on the router's bus with them.
    ProcessResult listing = Updater({"-D", "-t", "TCPIP", "--updates", "--json"});
    EXPECT_EQ(listing.exit_status, 0) << listing.err;
    const json devices = json::parse(listing.out, nullptr, false)["devices"];
    EXPECT_EQ(devices.size(), 12u) << listing.out;
    EXPECT_EQ(std::count_if(devices.begin(), devices.end(), [](const json& d) { return d["behind"] == true; }), 9)
        << listing.out;

    // The dry run names the nine behind and touches nothing.
    ProcessResult plan = Updater({"-U", "--all", "-t", "TCPIP", "--dry-run"});
    EXPECT_EQ(plan.exit_status, 0) << plan.out << plan.err;
    size_t toUpdate = 0, current = 0;
    for (const std::string& line : testsupport::Lines(plan.out)) {
        toUpdate += line.find("store 1300.bird") != std::string::npos;
        current += line.find("current: runs build 1300") != std::string::npos;
    }
    EXPECT_EQ(toUpdate, 9u) << plan.out;
    EXPECT_EQ(current, 3u) << plan.out;
    EXPECT_NE(plan.out.find("via " + ROUTER), std::string::npos) << plan.out;
    EXPECT_EQ(store.Read("updater/history.jsonl"), "");

    // The run: eight updated, the dropper failed, the current ones untouched.
    ProcessResult run = Updater({"-U", "--all", "-t", "TCPIP", "--verify", "--junit", "r.xml"});
    EXPECT_EQ(run.exit_status, 1) << run.out << run.err;
    EXPECT_NE(run.out.find(DROPPER + ": firmware\n"), std::string::npos) << "plain lines through a pipe\n" << run.out;
    EXPECT_NE(run.out.find(BEHIND[0] + ": updated ("), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(DROPPER + ": failed ("), std::string::npos) << run.out;
    std::string failure;
    const auto junit = JunitResults(work / "r.xml", failure);
    EXPECT_EQ(junit.size(), 12u) << work.Read("r.xml");
    for (const auto& [name, result] : junit)
        EXPECT_EQ(result, name.rfind(DROPPER, 0) == 0 ? "failure" : "passed") << name;
    EXPECT_NE(failure, "");

    // One record per module that ran, one batch; the router after its modules.
    std::vector<json> records = History();
    ASSERT_EQ(records.size(), 9u);
    std::map<std::string, json> bySerial;
    for (const json& record : records) {
        ASSERT_TRUE(record.is_object());
        EXPECT_EQ(record["batch"], records[0]["batch"]);
        EXPECT_TRUE(record["batch"].is_string());
        bySerial[record["serial"]] = record;
    }
    EXPECT_EQ(bySerial[DROPPER]["result"], "failed");
    for (const std::string& serial : BEHIND) {
        EXPECT_EQ(bySerial[serial]["result"], "ok") << serial;
        EXPECT_EQ(bySerial[serial]["verified"], true) << serial;
    }
    for (const std::string& serial : ATTACHED) {
        EXPECT_EQ(bySerial[serial]["result"], "ok") << serial;
        EXPECT_EQ(bySerial[serial]["router"], ROUTER) << serial;
        EXPECT_LT(bySerial[serial]["time"].get<std::string>(), bySerial[ROUTER]["time"].get<std::string>());
    }
    EXPECT_EQ(bySerial[ROUTER]["result"], "ok");
    for (const std::string& serial : CURRENT)
        EXPECT_EQ(bySerial.count(serial), 0u) << serial;

    // The dropper, back without its fault, is the one left.
    dropper.Stop();
    testsupport::VmoduleProcess fixed;
    ASSERT_TRUE(fixed.Start({"--module", Settings(DROPPER, UPDATES_TO_1300)})) << fixed.Error();
    ProcessResult again = Updater({"-U", "--all", "-t", "TCPIP", "--json"});
    EXPECT_EQ(again.exit_status, 0) << again.out << again.err;
    json document = json::parse(again.out, nullptr, false);
    ASSERT_TRUE(document.is_object()) << again.out;
    std::map<std::string, std::string> results;
    for (const json& module : document["modules"])
        results[module["serial"]] = module["result"];
    EXPECT_EQ(results.size(), 12u) << again.out;
    for (const auto& [serial, result] : results)
        EXPECT_EQ(result, serial == DROPPER ? "updated" : "current") << serial;
    EXPECT_EQ(History().size(), 10u);
}

TEST_F(UpdateAll, BadInputIsOneLineAndTouchesNothing)
{
    PRIVATE_NETWORK_OR_RERUN();
    ASSERT_TRUE(modules.Start({"--module", Settings("5B000001", "")})) << modules.Error();
    ASSERT_TRUE(BirdWriter::WriteBytes(work / "hub.bird", Image("HubC8")));
    const struct {
        std::vector<std::string> args;
        const char* line;
    } cases[] = {
        {{"--jobs", "0"}, "--jobs needs a whole number from 1 to 256, not '0'"},
        {{"--jobs", "abc"}, "--jobs needs a whole number from 1 to 256, not 'abc'"},
        {{"--max-failed", "0%"}, "--max-failed needs a number of modules (1 or more) or a share such as 10%, not '0%'"},
        {{"-d", "5B000001"}, "-U --all updates every module found: leave out -d"},
        {{"-t", "RECOVER"}, "-U --all does not recover modules: -t RECOVER takes one module at a time"},
        {{"-f", "hub.bird"}, "no module found that this image fits"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"-U", "--all", "-t", "TCPIP"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        ProcessResult result = Updater(args);
        EXPECT_EQ(result.exit_status, 1) << c.line;
        EXPECT_EQ(result.err, std::string(c.line) + "\n");
    }
    EXPECT_EQ(store.Read("updater/history.jsonl"), "");
}

// Ctrl+C: no module starts any more, those in flight end (here: their
// verification is cut short, so they are recorded as interrupted), the summary
// is printed and the exit status is 1.
TEST_F(UpdateAll, AStopLetsTheModulesInFlightEndAndStartsNoOther)
{
    PRIVATE_NETWORK_OR_RERUN();
    const std::vector<std::string> serials = BEHIND;
    std::vector<std::string> args;
    for (size_t i = 0; i < 4; ++i) {
        // Away for a minute after the reboot: the verification waits.
        args.insert(args.end(), {"--module", Settings(serials[i], UPDATES_TO_1300 + ",reboot-pause-ms=60000")});
        std::filesystem::create_directories(store / ("updater/" + serials[i]));
        ASSERT_TRUE(BirdWriter::WriteBytes(store / ("updater/" + serials[i] + "/1300.bird"), Image("MeterSerial")));
    }
    ASSERT_TRUE(modules.Start(args)) << modules.Error();

    const auto [out, status] = InterruptedAfterVerifying(
        {testsupport::UpdaterPath(), "-i", store.path(), "-U", "--all", "-t", "TCPIP", "--jobs", "2", "--verify"}, 2);
    EXPECT_EQ(status, 1) << out;
    EXPECT_NE(out.find("4 modules: 0 updated, 0 current, 0 failed, 2 skipped, 2 interrupted"), std::string::npos)
        << out;
    EXPECT_NE(out.find("not started: stopped"), std::string::npos) << out;
    std::vector<json> records = History();
    ASSERT_EQ(records.size(), 2u) << out;
    for (const json& record : records) {
        EXPECT_EQ(record["result"], "interrupted") << record;
        EXPECT_EQ(record["verified"], false) << record;
        EXPECT_EQ(record["batch"], records[0]["batch"]);
    }
}

// The same over emulated USB (usbrun): modules at full and high speed, one
// through the kernel driver's node, one behind a router, one current.
TEST_F(UpdateAll, UpdatesEveryModuleOnUsbIncludingTheKernelNodeAndARouter)
{
    PRIVATE_NETWORK_OR_RERUN();
    const std::string each = ",load-pause-ms=300,reboot-pause-ms=300" + UPDATES_TO_1300;
    const struct {
        const char* option;
        std::string serial, settings, model;
    } modules[] = {
        {"--module", "1A000001", "usb=full,model=17", "MeterSerial"},
        {"--module", "1A000002", "usb=high,model=17", "MeterSerial"},
        {"--module", "1A000003", "usb=node,model=17", "MeterSerial"},
        {"--module", "1A000004", "model=17,version=2.16.1,build=1300", "MeterSerial"},
        {"--module", ROUTER, "model=4", "Router2"},
        {"--attach", "0B0B0B01", "model=17,address=4", "MeterSerial"},
    };
    std::vector<std::string> argv = {UPDATER_BINARY_DIR "/sim/usbrun"};
    for (const auto& module : modules) {
        argv.insert(argv.end(), {module.option, "serial=" + module.serial + "," + module.settings + each});
        std::filesystem::create_directories(store / ("updater/" + module.serial));
        ASSERT_TRUE(
            BirdWriter::WriteBytes(store / ("updater/" + module.serial + "/1300.bird"), Image(module.model.c_str())));
    }
    argv.insert(argv.end(),
                {"--", testsupport::UpdaterPath(), "-i", store.path(), "-U", "--all", "--verify", "--json"});
    testsupport::RunOptions options;
    options.kill_after_seconds = 240;
    ProcessResult run = testsupport::RunProcess(argv, options);
    EXPECT_EQ(run.exit_status, 0) << run.out << run.err;
    json document = json::parse(run.out, nullptr, false);
    ASSERT_TRUE(document.is_object()) << run.out << run.err;
    std::map<std::string, std::string> results;
    for (const json& module : document["modules"])
        results[module["serial"]] = module["result"];
    EXPECT_EQ(results.size(), std::size(modules)) << run.out;
    for (const auto& module : modules)
        EXPECT_EQ(results[module.serial], module.serial == "1A000004" ? "current" : "updated") << module.serial;
    EXPECT_EQ(History().size(), std::size(modules) - 1);
}
