// The newest build for a module: from the store, from the update server on 127.0.0.1,
// whichever is newer, and whether a module is behind it.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "app/AvailableBuilds.h"
#include "firmware/BirdWriter.h"
#include "sim/UpdateServer.h"
#include "support/CodeBytes.h"
#include "support/RecordingDisplay.h"
#include "support/TempDir.h"

namespace {

using testsupport::TempDir;
constexpr auto STORE = BuildSource::Store;
constexpr auto SERVER = BuildSource::Server;
constexpr auto NONE = BuildSource::None;

struct RuleCase {
    AvailableBuild stored, offered;
    uint32_t running;
    uint32_t build;
    BuildSource source;
    bool behind;
};

class NewestBuildRule : public ::testing::TestWithParam<RuleCase> {};

TEST_P(NewestBuildRule, TheHigherBuildWinsAndTheStoreOnATie)
{
    const RuleCase& c = GetParam();
    const AvailableBuild newest = _newer_build(c.stored, c.offered);
    EXPECT_EQ(newest.build, c.build);
    EXPECT_EQ(newest.source, c.source);
    EXPECT_EQ(_is_behind(c.running, newest), c.behind);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NewestBuildRule,
    ::testing::Values(RuleCase{{}, {}, 1000, 0, NONE, false},                                     // nothing anywhere
                      RuleCase{{1001, "2.1.1", STORE}, {}, 1000, 1001, STORE, true},              // store only
                      RuleCase{{1001, "", STORE}, {1002, "", SERVER}, 1000, 1002, SERVER, true},  // server newer
                      RuleCase{{1002, "", STORE}, {1002, "", SERVER}, 1002, 1002, STORE, false},  // tie: stored
                      RuleCase{{1003, "", STORE}, {1001, "", SERVER}, 1005, 1003, STORE, false},  // module ahead
                      RuleCase{{}, {7, "", SERVER}, 0, 7, SERVER, true}));                        // build unknown

std::vector<uint8_t> Image(uint32_t build, const std::string& version, uint32_t serial)
{
    BirdWriter writer;
    writer.AddFirmware(0x60000000, testsupport::Code(400, build)).AddInfo(build, version, serial, "HUB8");
    return writer.FileBytes();
}

class AvailableBuildsTest : public ::testing::Test {
protected:
    void Put(const TempDir& root, const std::string& serial, const std::string& name, const std::string& version)
    {
        std::filesystem::create_directories(root / serial);
        const uint32_t build = static_cast<uint32_t>(std::stoul(name));
        ASSERT_TRUE(BirdWriter::WriteBytes(root / (serial + "/" + name), Image(build, version, 0x40F5849A)));
    }

    void SetUp() override
    {
        // 40F5849A: stored 1000 and a damaged 1100 (passed over), names that are no
        // build; the server lists 1001 and 1200 and serves 1300 unlisted.
        Put(store, "40F5849A", "1000.bird", "2.15.0");
        store.Write("40F5849A/1100.bird", std::string("bird\x01\x01 not zlib"));
        Put(store, "40F5849A", "1500.bird.bak", "9.9.9");
        store.Write("40F5849A/notes.txt", std::string("1600"));
        for (const char* build : {"1001.bird", "1200.bird", "1300.bird"})
            Put(firmware, "40F5849A", build, std::string("2.16.") + build[1]);
        ASSERT_TRUE(firmware.WriteFile("server.conf", "hide 40F5849A 1300\n"));
        // 2181F0EE: the store alone (500); 0BADCAFE: nothing anywhere.
        Put(store, "2181F0EE", "500.bird", "1.5.0");
        Put(firmware, "2181F0EE", "400.bird", "1.4.0");

        Sim::UpdateServerOptions options;
        options.firmware_dir = firmware.path();
        server = std::make_unique<Sim::UpdateServer>(options);
        std::string error;
        ASSERT_TRUE(server->Start(error)) << error;
    }

    size_t Requests(const std::string& op) const
    {
        const auto requests = server->Requests();
        return std::count_if(requests.begin(), requests.end(),
                             [&](const std::string& r) { return r.find("op=" + op + "&") != std::string::npos; });
    }

    TempDir store, firmware;
    std::unique_ptr<Sim::UpdateServer> server;
    testsupport::RecordingDisplay display;
};

TEST_F(AvailableBuildsTest, StoreAndServerInOneSession)
{
    const AvailableBuild stored = _newest_stored(store.path(), 0x40F5849A);
    EXPECT_EQ(stored.build, 1000u);
    EXPECT_EQ(stored.version, "2.15.0");
    EXPECT_EQ(stored.source, STORE);

    AvailableBuilds builds(display, store.path(), server->Url());
    builds.Lookup({0x40F5849A, 0x2181F0EE, 0x0BADCAFE, 0x40F5849A});
    const AvailableBuild a = builds.Newest(0x40F5849A), b = builds.Newest(0x2181F0EE), c = builds.Newest(0x0BADCAFE);
    EXPECT_EQ(a.build, 1200u);
    EXPECT_EQ(a.version, "2.16.2");
    EXPECT_EQ(a.source, SERVER);
    EXPECT_EQ(b.build, 500u);
    EXPECT_EQ(b.source, STORE);
    EXPECT_EQ(c.source, NONE);
    EXPECT_FALSE(builds.ServerFailed());
    EXPECT_TRUE(display.messages.empty());
    // One ping for the session, one list per module, none again for a module already known.
    EXPECT_EQ(Requests("hi"), 1u);
    EXPECT_EQ(Requests("builds"), 3u);

    // Without a server the store answers alone and nothing is asked.
    AvailableBuilds local(display, store.path(), "");
    EXPECT_EQ(local.Newest(0x40F5849A).build, 1000u);
    EXPECT_EQ(server->Requests().size(), 4u);
}

TEST_F(AvailableBuildsTest, AnUnreachableServerLeavesTheStoreAndSaysSoOnce)
{
    const std::string url = "http://127.0.0.1:1/cgi/u";
    AvailableBuilds builds(display, store.path(), url);
    builds.Lookup({0x40F5849A, 0x2181F0EE});
    EXPECT_EQ(builds.Newest(0x40F5849A).build, 1000u);
    EXPECT_EQ(builds.Newest(0x2181F0EE).source, STORE);
    EXPECT_TRUE(builds.ServerFailed());
    EXPECT_EQ(display.Errors(), std::vector<std::string>{"Server request failed for " + url});
}

}  // namespace
