// "updater -U --watch", a station, end to end. On the emulated USB bench three
// modules are plugged one after another: one current, one behind, one that
// drops at its third WRITE, stays away and is plugged again; with --count 4 the
// station ends after the fourth attempt. Over TCP/IP virtual modules are
// switched on while the station runs; each is updated once, none twice, and so
// are the modules on a router's bus. Served
// modules are found through their servers and updated through them. All run
// in a private network namespace (an update that misses a USB module looks on
// TCP/IP; TCP/IP discovery multicasts).
#include <gtest/gtest.h>

#include <pugixml.hpp>

#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "common/aVersion.h"
#include "firmware/BirdWriter.h"
#include "sim/usb/UsbModuleHost.h"
#include "support/CodeBytes.h"
#include "support/ModuleServerProcess.h"
#include "support/PrivateNetwork.h"
#include "support/Process.h"
#include "support/TempDir.h"
#include "support/TextLines.h"
#include "support/VmoduleProcess.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ProcessResult;

std::vector<uint8_t> Image()
{
    BirdWriter writer;
    writer.AddLoader(0x20000000, testsupport::Code(600, 1))
        .AddFirmware(0x60000000, testsupport::Code(3000, 2))
        .AddOffsets(0x60000100, 0x60000200)
        .AddInfo(1300, "2.16.1", 0, "MeterSerial");
    return writer.FileBytes();
}

// Each module's events in the order the station printed them ("TIME SERIAL EVENT").
std::map<std::string, std::vector<std::string>> Events(const std::string& out)
{
    std::map<std::string, std::vector<std::string>> events;
    for (const std::string& line : testsupport::Lines(out)) {
        const size_t serial = line.find(' ');
        const size_t event = serial == std::string::npos ? serial : line.find(' ', serial + 1);
        if (line.size() > 20 && line[4] == '-' && line.back() != ':' && event != std::string::npos)
            events[line.substr(serial + 1, 8)].push_back(line.substr(event + 1, line.find(':', event) - event - 1));
    }
    return events;
}

class Station : public ::testing::Test {
protected:
    void SetUp() override { setenv("UPDATER_DISCOVERY_LOCK", (work / "discovery.lock").c_str(), 1); }
    void TearDown() override { unsetenv("UPDATER_DISCOVERY_LOCK"); }

    void StoreBuild(const std::string& serial)
    {
        fs::create_directories(store / ("updater/" + serial));
        ASSERT_TRUE(BirdWriter::WriteBytes(store / ("updater/" + serial + "/1300.bird"), Image()));
    }

    // The station on its own thread; no -u: the plan asks the store alone.
    void Start(const std::vector<std::string>& args, testsupport::RunOptions options)
    {
        std::vector<std::string> argv = {testsupport::UpdaterPath(), "-i", store.path(), "-U", "--watch"};
        argv.insert(argv.end(), args.begin(), args.end());
        options.working_directory = work.path();
        options.kill_after_seconds = 180;
        station = std::thread([this, argv, options] { run = testsupport::RunProcess(argv, options); });
    }

    // Waits (safety net of 60 s, not a speed bound) until the --on-done script wrote `count` lines.
    bool AwaitDone(size_t count)
    {
        for (int i = 0; i < 600 && testsupport::Lines(work.Read("done.txt")).size() < count; ++i)
            usleep(100000);
        return testsupport::Lines(work.Read("done.txt")).size() >= count;
    }

    size_t History(const std::string& serial)
    {
        size_t records = 0;
        for (const std::string& line : testsupport::Lines(store.Read("updater/history.jsonl")))
            records += line.find("\"serial\":\"" + serial + "\"") != std::string::npos;
        return records;
    }

    testsupport::TempDir store, work;
    std::thread station;
    ProcessResult run;
};

Sim::ModuleConfig UsbModule(uint32_t serial, bool current)
{
    Sim::ModuleConfig config;
    config.serialNumber = serial;
    config.model = 17;
    config.version = current ? aVersion_Pack(2, 16, 1) : aVersion_Pack(2, 15, 0);
    config.build = current ? 1300 : 1000;
    config.newVersion = aVersion_Pack(2, 16, 1);
    config.newBuild = 1300;
    config.loadPauseMs = 200;
    config.rebootPauseMs = 200;
    config.dropPauseMs = 8000;  // longer than the update's attempts at a block
    return config;
}

TEST_F(Station, UsbModulesPluggedOneAfterAnotherAreEachHandledOnce)
{
    PRIVATE_NETWORK_OR_RERUN();
    const std::string current = "5C000001", behind = "5B000001", dropper = "5D000001";
    for (const std::string& serial : {current, behind, dropper})
        StoreBuild(serial);
    std::ofstream(work / "done.sh") << "echo \"$UPDATER_SERIAL $UPDATER_RESULT $UPDATER_FROM $UPDATER_TO "
                                       "$(basename \"$UPDATER_LOG\") $UPDATER_MESSAGE\" >> done.txt\n";
    usbemu::UsbEmulation emulation;
    testsupport::RunOptions options;
    options.env = emulation.childEnvironment();
    // The emulated bus's hot-plug events reach this process only: the station
    // looks at the bus instead.
    options.env["UPDATER_USB_POLL_MS"] = "200";
    Start({"--count", "4", "--log-dir", "logs", "--on-done", "sh done.sh", "--junit", "junit.xml"}, options);

    std::vector<std::unique_ptr<usbemu::UsbModuleHost>> hosts;
    auto plug = [&](uint32_t serial, bool isCurrent, std::vector<Sim::Fault> faults) {
        Sim::ModuleConfig config = UsbModule(serial, isCurrent);
        config.faults = std::move(faults);
        hosts.push_back(
            std::make_unique<usbemu::UsbModuleHost>(emulation, std::make_shared<Sim::VirtualModule>(config)));
    };
    usleep(500000);
    plug(0x5C000001, true, {});
    ASSERT_TRUE(AwaitDone(1));
    plug(0x5B000001, false, {});
    ASSERT_TRUE(AwaitDone(2));
    Sim::Fault drop;
    drop.kind = Sim::FaultKind::DropAtStep;
    drop.step = Sim::UpgradeStep::Write;
    drop.anyStep = false;
    drop.skip = 2;
    plug(0x5D000001, false, {drop});  // comes back by itself after its drop pause
    station.join();

    EXPECT_EQ(run.exit_status, 1) << run.out << run.err;  // one attempt failed
    auto events = Events(run.out);
    EXPECT_EQ(events[current], (std::vector<std::string>{"appeared", "current"})) << run.out;
    EXPECT_EQ(events[behind], (std::vector<std::string>{"appeared", "updating", "updated"})) << run.out;
    EXPECT_EQ(events[dropper],
              (std::vector<std::string>{"appeared", "updating", "failed", "left", "appeared", "updating", "updated"}))
        << run.out;

    // --on-done: four times, in order, with the attempt's facts and its log.
    const std::vector<std::string> done = testsupport::Lines(work.Read("done.txt"));
    ASSERT_EQ(done.size(), 4u) << work.Read("done.txt");
    EXPECT_EQ(done[0].rfind(current + " current 2.16.1 2.16.1 " + current + "-", 0), 0u) << done[0];
    EXPECT_EQ(done[1].rfind(behind + " updated 2.15.0 2.16.1 " + behind + "-", 0), 0u) << done[1];
    EXPECT_EQ(done[2].rfind(dropper + " failed 2.15.0 ", 0), 0u) << done[2];
    EXPECT_GT(done[2].size(), done[1].size()) << "a failure carries its message: " << done[2];
    EXPECT_EQ(done[3].rfind(dropper + " updated 2.15.0 2.16.1 " + dropper + "-", 0), 0u) << done[3];

    // One log file per attempt, each holding its own module's lines alone.
    std::map<std::string, int> files;
    for (const auto& entry : fs::directory_iterator(work / "logs")) {
        const std::string name = entry.path().filename();
        const std::string text = testsupport::ReadFile(entry.path());
        ++files[name.substr(0, 8)];
        EXPECT_NE(text.find(name.substr(0, 8) + " appeared"), std::string::npos) << name << text;
        for (const std::string& other : {current, behind, dropper}) {
            if (other != name.substr(0, 8)) {
                EXPECT_EQ(text.find(other + " appeared"), std::string::npos) << name << text;
            }
        }
    }
    EXPECT_EQ(files, (std::map<std::string, int>{{current, 1}, {behind, 1}, {dropper, 2}}));

    pugi::xml_document junit;
    ASSERT_TRUE(junit.load_file((work / "junit.xml").c_str())) << run.out;
    EXPECT_EQ(junit.select_nodes("//testcase").size(), 4u);
    EXPECT_EQ(junit.select_nodes("//testcase/failure").size(), 1u);
    EXPECT_EQ(History(behind), 1u);
    EXPECT_EQ(History(dropper), 2u);
}

TEST_F(Station, TcpipModulesSwitchedOnWhileItRunsAreEachUpdatedOnce)
{
    PRIVATE_NETWORK_OR_RERUN();
    const std::vector<std::string> serials = {"5B000011", "5B000012", "5B000013"};
    for (const std::string& serial : serials)
        StoreBuild(serial);
    std::ofstream(work / "done.sh") << "echo \"$UPDATER_SERIAL $UPDATER_RESULT\" >> done.txt\n";
    testsupport::RunOptions options;
    // Some seconds of watching after the last update: a second update would show.
    options.signal_when = serials.back() + " updated";
    options.signal_delay_ms = 5000;
    Start({"-t", "TCPIP", "--interval", "1", "--on-done", "sh done.sh"}, options);

    std::vector<std::unique_ptr<testsupport::VmoduleProcess>> modules;
    for (const std::string& serial : serials) {
        usleep(1500000);
        modules.push_back(std::make_unique<testsupport::VmoduleProcess>());
        ASSERT_TRUE(modules.back()->Start({"--module", "serial=" + serial +
                                                           ",model=17,discovery=192.0.2.1,version=2.15.0,build=1000,"
                                                           "new-version=2.16.1,new-build=1300,load-pause-ms=200,"
                                                           "reboot-pause-ms=200"}))
            << modules.back()->Error();
    }
    station.join();

    EXPECT_EQ(run.exit_status, 0) << run.out << run.err;
    auto events = Events(run.out);
    for (const std::string& serial : serials) {
        EXPECT_EQ(events[serial], (std::vector<std::string>{"appeared", "updating", "updated"})) << run.out;
        EXPECT_EQ(History(serial), 1u) << serial;
    }
    EXPECT_EQ(testsupport::Lines(work.Read("done.txt")).size(), serials.size());
    EXPECT_NE(run.out.find("3 updated"), std::string::npos) << run.out;
}

// The modules on a router's bus (-r): each handled once, none twice, though
// the bus is scanned again after each update and every second while idle.
TEST_F(Station, ModulesOnARoutersBusAreEachHandledOnce)
{
    PRIVATE_NETWORK_OR_RERUN();
    const std::string router = "0A0A0A1A";
    const std::vector<std::string> attached = {"0B0B0B11", "0B0B0B12", "0B0B0B13"};  // the last one current
    std::vector<std::string> args = {"--module", "serial=" + router + ",model=4,discovery=192.0.2.1"};
    for (size_t i = 0; i < attached.size(); ++i) {
        StoreBuild(attached[i]);
        args.insert(args.end(),
                    {"--attach", "serial=" + attached[i] + ",model=17,address=" + std::to_string(4 + 2 * i) +
                                     (i == 2 ? ",version=2.16.1,build=1300"
                                             : ",version=2.15.0,build=1000,new-version=2.16.1,"
                                               "new-build=1300,load-pause-ms=200,reboot-pause-ms=200")});
    }
    testsupport::VmoduleProcess modules;
    ASSERT_TRUE(modules.Start(args)) << modules.Error();
    std::ofstream(work / "done.sh") << "echo \"$UPDATER_SERIAL $UPDATER_RESULT\" >> done.txt\n"
                                       "[ $(wc -l < done.txt) -lt 3 ] || echo all-handled >&2\n";
    testsupport::RunOptions options;
    options.signal_when = "all-handled";
    options.signal_delay_ms = 4000;  // scans after the last attempt: a second look would show
    Start({"-r", router, "--interval", "1", "--on-done", "sh done.sh"}, options);
    station.join();

    EXPECT_EQ(run.exit_status, 0) << run.out << run.err;
    auto events = Events(run.out);
    for (size_t i = 0; i < attached.size(); ++i) {
        const std::vector<std::string> expected = i == 2 ? std::vector<std::string>{"appeared", "current"}
                                                         : std::vector<std::string>{"appeared", "updating", "updated"};
        EXPECT_EQ(events[attached[i]], expected) << run.out;
        if (i < 2) {
            EXPECT_EQ(History(attached[i]), 1u) << attached[i];
        }
    }
    EXPECT_EQ(events.count(router), 0u) << "the router itself is not on its bus";
}

// A second SIGTERM while a module is in flight: the station does not wait for
// it, records it as interrupted and ends by the signal.
TEST_F(Station, SecondSignalRecordsTheModuleInFlightAsInterrupted)
{
    PRIVATE_NETWORK_OR_RERUN();
    const std::string serial = "5B000031";
    StoreBuild(serial);
    testsupport::VmoduleProcess module;
    ASSERT_TRUE(module.Start({"--module", "serial=" + serial +
                                              ",model=17,discovery=192.0.2.1,version=2.15.0,build=1000,"
                                              "new-version=2.16.1,new-build=1300,load-pause-ms=4000"}))
        << module.Error();
    testsupport::RunOptions options;
    options.signal_when = serial + " updating";
    options.signal_delay_ms = 500;
    options.signal_times = 2;
    Start({"-t", "TCPIP", "--interval", "1"}, options);
    station.join();

    EXPECT_EQ(run.signal, SIGTERM) << run.out << run.err;
    EXPECT_EQ(Events(run.out)[serial], (std::vector<std::string>{"appeared", "updating", "interrupted"})) << run.out;
    EXPECT_NE(run.err.find("Stopped: the updates in flight are recorded as interrupted"), std::string::npos) << run.err;
    const std::string history = store.Read("updater/history.jsonl");
    EXPECT_EQ(History(serial), 1u) << history;
    EXPECT_NE(history.find("\"result\":\"interrupted\""), std::string::npos) << history;
    EXPECT_NE(history.find("stopped during its update"), std::string::npos) << history;
}

// Two modules served by module servers of this host: one behind, served on an
// interface and found by beacon there; one current, served to this host only.
// The station (watching USB, where there are none) finds both through the
// servers, updates the one behind through its server and confirms it. On a
// terminal it draws the module in flight and the counts below the events.
TEST_F(Station, ServedModulesAreUpdatedThroughTheirServers)
{
    PRIVATE_NETWORK_OR_RERUN();
    ASSERT_EQ(system("ip addr add 192.0.2.2/24 dev vb"), 0);
    const std::string behind = "5C000021", current = "5C000022";
    StoreBuild(behind);
    StoreBuild(current);
    testsupport::VmoduleProcess modules;
    ASSERT_TRUE(modules.Start({"--module",
                               "serial=" + behind +
                                   ",model=17,version=2.15.0,build=1000,new-version=2.16.1,"
                                   "new-build=1300,load-pause-ms=200,reboot-pause-ms=200",
                               "--module", "serial=" + current + ",model=17,version=2.16.1,build=1300"}))
        << modules.Error();
    testsupport::ModuleServerProcess servers[2];
    for (int i = 0; i < 2; ++i) {
        const std::string serial = i == 0 ? behind : current;
        std::vector<std::string> args = {
            "-d", serial, "--tcp", "127.0.0.1:" + std::to_string(modules.TcpPort(std::stoul(serial, nullptr, 16)))};
        if (i == 0)
            args.insert(args.end(), {"--interface", testsupport::kPrivateAddress});
        ASSERT_TRUE(servers[i].Start(args)) << servers[i].Error();
    }
    std::ofstream(work / "done.sh")
        << "echo \"$UPDATER_SERIAL $UPDATER_RESULT $UPDATER_FROM $UPDATER_TO\" >> done.txt\n";
    testsupport::RunOptions options;
    options.stdout_terminal = true;
    Start({"--count", "2", "--interval", "1", "--interface", "192.0.2.2", "--verify", "--on-done", "sh done.sh"},
          options);
    station.join();

    EXPECT_EQ(run.exit_status, 0) << run.out << run.err;
    const std::string shown = std::regex_replace(run.out, std::regex("\r|\x1b\\[[0-9]*[AJK]"), "");
    EXPECT_NE(shown.find("\n  " + behind + "  firmware"), std::string::npos) << "no line for the module in flight\n"
                                                                             << shown;
    EXPECT_NE(shown.find("updated 1, current 1, failed 0; 0 in flight"), std::string::npos) << shown;
    auto events = Events(shown);
    EXPECT_EQ(events[behind], (std::vector<std::string>{"appeared", "updating", "updated"})) << run.out;
    EXPECT_EQ(events[current], (std::vector<std::string>{"appeared", "current"})) << run.out;
    std::vector<std::string> done = testsupport::Lines(work.Read("done.txt"));
    std::sort(done.begin(), done.end());
    EXPECT_EQ(done, (std::vector<std::string>{behind + " updated 2.15.0 2.16.1", current + " current 2.16.1 2.16.1"}));
    // The record names the way the module was reached, and the update was confirmed.
    const std::string history = store.Read("updater/history.jsonl");
    EXPECT_NE(history.find("\"transport\":\"PLEXUS_TCPIP\""), std::string::npos) << history;
    EXPECT_NE(history.find("\"verified\":true"), std::string::npos) << history;
    for (auto& server : servers)
        EXPECT_EQ(server.Stop(SIGINT), 0);
}

}  // namespace
