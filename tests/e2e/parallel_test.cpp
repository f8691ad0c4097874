// Several updater processes on one host at once, as on a production line: eight
// virtual modules on one address, one process per module. Replies to TCP/IP discovery
// all come to the host's one reply port, so the processes take turns listening there.
// Every test runs inside its own private network namespace.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <fcntl.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
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

namespace fs = std::filesystem;
using testsupport::ProcessResult;
using testsupport::TempDir;
using testsupport::VmoduleProcess;

constexpr int MODULES = 8;
constexpr uint32_t FIRMWARE_ADDRESS = 0x60000000;
constexpr uint32_t SERIAL_OFFSET = FIRMWARE_ADDRESS + 0x100;
constexpr uint32_t DESCRIPTOR_OFFSET = FIRMWARE_ADDRESS + 0x200;
const std::string NO_SERVER = "http://127.0.0.1:1/cgi/u";

uint32_t Serial(int i)
{
    return 0x51000001u + static_cast<uint32_t>(i);
}

std::string Hex8(uint32_t value)
{
    char text[9];
    std::snprintf(text, sizeof text, "%08X", value);
    return text;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

double SecondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

class ParallelRuns : public ::testing::Test {
protected:
    void SetUp() override
    {
        // A lock file of this test's own, so that discovery tests elsewhere on the
        // machine (in other namespaces) do not make these wait.
        setenv("UPDATER_DISCOVERY_LOCK", (work / "discovery.lock").c_str(), 1);
    }
    void TearDown() override { unsetenv("UPDATER_DISCOVERY_LOCK"); }

    void StartModules()
    {
        std::vector<std::string> args;
        for (int i = 0; i < MODULES; ++i) {
            args.push_back("--module");
            args.push_back("serial=" + Hex8(Serial(i)) + ",model=17,discovery=192.0.2.1,load-pause-ms=50," +
                           "reboot-pause-ms=50,flash-dir=" + (work / "flash"));
        }
        ASSERT_TRUE(modules.Start(args)) << modules.Error();
    }

    ProcessResult Updater(const std::vector<std::string>& args)
    {
        std::vector<std::string> argv = {testsupport::UpdaterPath(), "-i", store.path(), "-u", NO_SERVER};
        argv.insert(argv.end(), args.begin(), args.end());
        testsupport::RunOptions options;
        options.working_directory = work.path();
        options.kill_after_seconds = 180;
        return testsupport::RunProcess(argv, options);
    }

    // One updater per module, all started together; their results by module.
    std::vector<ProcessResult> RunAll(const std::function<std::vector<std::string>(int)>& args)
    {
        std::vector<ProcessResult> results(MODULES);
        std::vector<std::thread> threads;
        for (int i = 0; i < MODULES; ++i)
            threads.emplace_back([&, i] { results[i] = Updater(args(i)); });
        for (auto& thread : threads)
            thread.join();
        return results;
    }

    // True once every module takes TCP connections again (they restart after an update).
    bool AwaitAllModules()
    {
        for (int i = 0; i < MODULES; ++i) {
            const uint16_t port = modules.TcpPort(Serial(i));
            bool up = false;
            for (int attempt = 0; attempt < 1000 && !up && port; ++attempt) {
                int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                sockaddr_in where{};
                where.sin_family = AF_INET;
                where.sin_port = htons(port);
                inet_pton(AF_INET, testsupport::kPrivateAddress, &where.sin_addr);
                up = connect(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0;
                close(fd);
                if (!up)
                    usleep(10000);
            }
            if (!up)
                return false;
        }
        return true;
    }

    static bool ListsEveryModule(const std::string& out)
    {
        for (int i = 0; i < MODULES; ++i) {
            bool listed = false;
            for (const std::string& line : testsupport::Lines(out))
                listed = listed || line.rfind("    " + Hex8(Serial(i)) + "  ", 0) == 0;
            if (!listed)
                return false;
        }
        return true;
    }

    // The image's firmware as module i holds it: its serial number put in.
    std::vector<uint8_t> Personalised(int i) const
    {
        std::vector<uint8_t> code = firmware;
        const uint32_t serial = Serial(i);
        for (int b = 0; b < 4; ++b)
            code[SERIAL_OFFSET - FIRMWARE_ADDRESS + b] = uint8_t(serial >> (8 * b));
        const std::string text = Hex8(serial);
        for (int c = 0; c < 8; ++c)
            code[DESCRIPTOR_OFFSET - FIRMWARE_ADDRESS + 2 * c] = uint8_t(text[c]);
        return code;
    }

    void WriteGenericImage()
    {
        firmware = testsupport::Code(3000, 7);
        BirdWriter writer;
        writer.AddLoader(0x20000000, testsupport::Code(600, 3))
            .AddFirmware(FIRMWARE_ADDRESS, firmware)
            .AddOffsets(SERIAL_OFFSET, DESCRIPTOR_OFFSET)
            .AddInfo(1200, "2.16.0", 0, "MeterSerial");
        ASSERT_TRUE(BirdWriter::WriteBytes(work / "image.bird", writer.FileBytes()));
    }

    std::string Flash(int i) const { return ReadFile(work / ("flash/" + Hex8(Serial(i)) + "-60000000.bin")); }

    TempDir store, work;
    VmoduleProcess modules;
    std::vector<uint8_t> firmware;
};

TEST_F(ParallelRuns, EightUpdatesAtOnceAllSucceedTwentyTimesInARow)
{
    PRIVATE_NETWORK_OR_RERUN();
    StartModules();
    WriteGenericImage();
    for (int run = 1; run <= 20; ++run) {
        ASSERT_TRUE(AwaitAllModules()) << "run " << run;
        const auto start = std::chrono::steady_clock::now();
        const auto results = RunAll([](int i) {
            return std::vector<std::string>{"-U", "-d", Hex8(Serial(i)), "-f", "image.bird"};
        });
        int failed = 0;
        for (int i = 0; i < MODULES; ++i) {
            EXPECT_EQ(results[i].exit_status, 0) << "run " << run << ", module " << Hex8(Serial(i)) << ":\n"
                                                 << results[i].out << results[i].err;
            failed += results[i].exit_status != 0;
        }
        std::printf("run %d: %d of %d failed, %.1f s\n", run, failed, MODULES, SecondsSince(start));
        ASSERT_EQ(failed, 0) << "run " << run;
    }
    for (int i = 0; i < MODULES; ++i) {
        const std::vector<uint8_t> wanted = Personalised(i);
        EXPECT_EQ(Flash(i), std::string(wanted.begin(), wanted.end())) << Hex8(Serial(i));
        const std::string settings = ReadFile(store / ("updater/" + Hex8(Serial(i)) + "/.settings"));
        EXPECT_NE(settings.find("LATEST_TRANSFER=image.bird\n"), std::string::npos) << settings;
    }
    // Every process left one whole history line: twenty good records per module.
    std::map<std::string, int> records;
    std::istringstream history(ReadFile(store / "updater/history.jsonl"));
    for (std::string line; std::getline(history, line);) {
        nlohmann::json record = nlohmann::json::parse(line, nullptr, false);
        ASSERT_TRUE(record.is_object()) << line;
        EXPECT_EQ(record["result"], "ok") << line;
        ++records[record["serial"].get<std::string>()];
    }
    ASSERT_EQ(records.size(), size_t(MODULES));
    for (int i = 0; i < MODULES; ++i)
        EXPECT_EQ(records[Hex8(Serial(i))], 20) << Hex8(Serial(i));
}

TEST_F(ParallelRuns, EightDiscoveriesAtOnceEachListEveryModule)
{
    PRIVATE_NETWORK_OR_RERUN();
    StartModules();
    const auto results = RunAll([](int) { return std::vector<std::string>{"-D", "-t", "TCPIP"}; });
    for (int i = 0; i < MODULES; ++i) {
        EXPECT_EQ(results[i].exit_status, 0) << results[i].err;
        EXPECT_TRUE(ListsEveryModule(results[i].out)) << "process " << i << ":\n" << results[i].out;
    }
}

// A process killed while it listens for replies leaves no lock behind: the next
// discovery starts at once and finds every module.
TEST_F(ParallelRuns, AProcessKilledMidDiscoveryBlocksNobody)
{
    PRIVATE_NETWORK_OR_RERUN();
    StartModules();
    const std::string lock = work / "discovery.lock";
    pid_t victim = fork();
    ASSERT_GE(victim, 0);
    if (victim == 0) {
        const std::string updater = testsupport::UpdaterPath();
        execl(updater.c_str(), updater.c_str(), "-i", store.path().c_str(), "-u", NO_SERVER.c_str(), "-D", "-t",
              "TCPIP", static_cast<char*>(nullptr));
        _exit(127);
    }
    // Wait until the victim holds the lock (a probe of ours cannot take it).
    bool held = false;
    for (int i = 0; i < 2000 && !held; ++i) {
        int fd = open(lock.c_str(), O_RDONLY);
        if (fd >= 0) {
            held = flock(fd, LOCK_EX | LOCK_NB) != 0;
            close(fd);
        }
        if (!held)
            usleep(5000);
    }
    ASSERT_TRUE(held) << "the discovery never took its lock";
    kill(victim, SIGKILL);
    int status = 0;
    waitpid(victim, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status));

    const auto start = std::chrono::steady_clock::now();
    const ProcessResult result = Updater({"-D", "-t", "TCPIP"});
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_TRUE(ListsEveryModule(result.out)) << result.out;
    // One discovery window (2 s after the last reply) and the queries, far from the
    // minute a stale lock would cost.
    EXPECT_LT(SecondsSince(start), 30.0);
}

// While another process holds the turn, a discovery waits for it rather than
// listening beside it (and losing replies); it goes on once the turn is free.
TEST_F(ParallelRuns, DiscoveryWaitsForTheTurnOfAnother)
{
    PRIVATE_NETWORK_OR_RERUN();
    StartModules();
    const std::string lock = work / "discovery.lock";
    int fd = open(lock.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0666);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    std::thread release([fd] {
        std::this_thread::sleep_for(std::chrono::seconds(3));
        close(fd);
    });
    const auto start = std::chrono::steady_clock::now();
    const ProcessResult result = Updater({"-D", "-t", "TCPIP"});
    const double seconds = SecondsSince(start);
    release.join();
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_TRUE(ListsEveryModule(result.out)) << result.out;
    EXPECT_GE(seconds, 3.0 + 2.0);  // the held turn, then its own reply window
}

}  // namespace
