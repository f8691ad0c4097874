#include <gtest/gtest.h>

#include "LocalHttpServer.h"
#include "server/UpdateServerRequest.h"

namespace {

class UpdateServerRequestTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server.Start());
        url = server.Url();
    }
    const char* Url() const { return url.c_str(); }
    std::string Query() { return server.LastTarget().substr(std::string("/cgi/u").size()); }

    LocalHttpServer server;
    std::string url;
};

TEST_F(UpdateServerRequestTest, EveryRequestAsksTheExactQuery)
{
    server.Reply(200, "ok\n");
    std::string build, firmware, file, token;
    BuildList builds;
    uint32_t serial = 0, number = 0;
    const uint32_t fingerprint[4] = {0x0A, 0x1234ABCD, 0, 0xFFFFFFFF};

    UpdateServerRequest::ping(Url());
    EXPECT_EQ(Query(), "?op=hi&rv=2&");
    UpdateServerRequest::QueryBuild(0x1A2B, build, firmware, Url());
    EXPECT_EQ(Query(), "?op=qu&sn=00001A2B&");
    UpdateServerRequest::GetBuild(0x40F5849A, "std", "117", file, Url(), false);
    EXPECT_EQ(Query(), "?bld=117&fw=std&no_cal=false&op=bird&sn=40F5849A&");
    UpdateServerRequest::GetBuild(0x5, "std", "117", file, Url(), true);
    EXPECT_EQ(Query(), "?bld=117&fw=std&no_cal=true&op=bird&sn=00000005&");
    UpdateServerRequest::GetBuildList(0xABCDEF, builds, Url());
    EXPECT_EQ(Query(), "?op=builds&sn=00ABCDEF&");
    UpdateServerRequest::GetRecoveryInfo(fingerprint, serial, number, Url());
    EXPECT_EQ(Query(), "?brief=true&fp=0000000A%201234ABCD%2000000000%20FFFFFFFF&op=fix&");
    UpdateServerRequest::GetDeviceJWT(0x40F5849A, token, Url());
    EXPECT_EQ(Query(), "?json=false&op=ent_jwt&sn=40F5849A&");
}

TEST_F(UpdateServerRequestTest, PingComparesOnlyTheFirstTwoCharacters)
{
    server.Reply(200, "okay");
    EXPECT_TRUE(UpdateServerRequest::ping(Url()));
    server.Reply(200, "\n\nok\n");
    EXPECT_TRUE(UpdateServerRequest::ping(Url()));
    server.Reply(200, "OK\n");
    EXPECT_FALSE(UpdateServerRequest::ping(Url()));
    server.Reply(200, "o\nk\n");
    EXPECT_FALSE(UpdateServerRequest::ping(Url()));
    server.Reply(200, "");
    EXPECT_FALSE(UpdateServerRequest::ping(Url()));
    server.Reply(201, "ok\n");
    EXPECT_FALSE(UpdateServerRequest::ping(Url()));
}

TEST_F(UpdateServerRequestTest, ServerErrorFailsEveryRequestAndKeepsOutputs)
{
    server.Reply(500, "ok\n117\nstd\n");
    std::string build = "b", firmware = "f", file = "i", token = "t";
    BuildList builds{{"1", "1.0.0"}};
    uint32_t serial = 7, number = 8;
    const uint32_t fingerprint[4] = {1, 2, 3, 4};
    EXPECT_FALSE(UpdateServerRequest::ping(Url()));
    EXPECT_FALSE(UpdateServerRequest::QueryBuild(1, build, firmware, Url()));
    EXPECT_FALSE(UpdateServerRequest::GetBuild(1, "f", "1", file, Url(), false));
    EXPECT_FALSE(UpdateServerRequest::GetBuildList(1, builds, Url()));
    EXPECT_FALSE(UpdateServerRequest::GetRecoveryInfo(fingerprint, serial, number, Url()));
    EXPECT_FALSE(UpdateServerRequest::GetDeviceJWT(1, token, Url()));
    EXPECT_EQ(build, "b");
    EXPECT_EQ(firmware, "f");
    EXPECT_EQ(file, "i");
    EXPECT_EQ(token, "t");
    EXPECT_EQ(serial, 7u);
    EXPECT_EQ(number, 8u);
    EXPECT_TRUE(builds.empty());  // emptied before asking
}

TEST(UpdateServerRequestOffline, RefusedConnectionFailsEveryRequest)
{
    const char* url = "http://127.0.0.1:1/cgi/u";
    std::string build, firmware, file = "keep", token;
    BuildList builds;
    uint32_t serial = 0, number = 0;
    const uint32_t fingerprint[4] = {1, 2, 3, 4};
    EXPECT_FALSE(UpdateServerRequest::ping(url));
    EXPECT_FALSE(UpdateServerRequest::QueryBuild(1, build, firmware, url));
    EXPECT_FALSE(UpdateServerRequest::GetBuild(1, "f", "1", file, url, false));
    EXPECT_EQ(file, "keep");
    EXPECT_FALSE(UpdateServerRequest::GetBuildList(1, builds, url));
    EXPECT_FALSE(UpdateServerRequest::GetRecoveryInfo(fingerprint, serial, number, url));
    EXPECT_FALSE(UpdateServerRequest::GetDeviceJWT(1, token, url));
}

TEST_F(UpdateServerRequestTest, QueryBuildTakesBuildAndFirmwareLines)
{
    server.Reply(200, "ok\n117\nrelease-a\r\n");
    std::string build, firmware;
    ASSERT_TRUE(UpdateServerRequest::QueryBuild(0x1A2B, build, firmware, Url()));
    EXPECT_EQ(build, "117");
    EXPECT_EQ(firmware, "release-a");

    server.Reply(200, "ok\r\n\n\n118\n\n");  // empty lines vanish; no third line
    ASSERT_TRUE(UpdateServerRequest::QueryBuild(0x1A2B, build, firmware, Url()));
    EXPECT_EQ(build, "118");
    EXPECT_EQ(firmware, "release-a");

    server.Reply(200, "ok\n");
    build = "untouched";
    ASSERT_TRUE(UpdateServerRequest::QueryBuild(0x1A2B, build, firmware, Url()));
    EXPECT_EQ(build, "untouched");
}

TEST_F(UpdateServerRequestTest, GetBuildTakesTheImageLineAsItIs)
{
    std::string file = "old";
    server.Reply(200, "ok\nQUJD\r\nignored\n");
    ASSERT_TRUE(UpdateServerRequest::GetBuild(1, "f", "1", file, Url(), false));
    EXPECT_EQ(file, "QUJD\r");
    server.Reply(200, "ok\n");
    ASSERT_TRUE(UpdateServerRequest::GetBuild(1, "f", "1", file, Url(), false));
    EXPECT_EQ(file, "");
    file = "old";
    server.Reply(200, "nope\nQUJD\n");
    EXPECT_FALSE(UpdateServerRequest::GetBuild(1, "f", "1", file, Url(), false));
    EXPECT_EQ(file, "old");
}

TEST_F(UpdateServerRequestTest, GetBuildListParsesEntries)
{
    server.Reply(200, "ok\n117;2.10.3\n116;2.9.12\r\n115\nab\n117;9.9.9\n;1.2.3\n120;3.0.0;extra\n121\r\n");
    BuildList builds{{"999", "stale"}};
    ASSERT_TRUE(UpdateServerRequest::GetBuildList(1, builds, Url()));
    const BuildList expected{{"115", ""}, {"116", "2.9.12"}, {"117", "2.10.3"}, {"120", "3.0.0"}, {"121", ""}};
    EXPECT_EQ(builds, expected);
}

TEST_F(UpdateServerRequestTest, GetBuildListOfNoEntriesIsEmptySuccess)
{
    server.Reply(200, "ok\n");
    BuildList builds{{"1", "x"}};
    EXPECT_TRUE(UpdateServerRequest::GetBuildList(1, builds, Url()));
    EXPECT_TRUE(builds.empty());
}

TEST_F(UpdateServerRequestTest, GetRecoveryInfoReadsSerialAndBuildBases)
{
    const uint32_t fingerprint[4] = {1, 2, 3, 4};
    uint32_t serial = 0, build = 0;
    server.Reply(200, "ok\n0x2B\n017\n");
    ASSERT_TRUE(UpdateServerRequest::GetRecoveryInfo(fingerprint, serial, build, Url()));
    EXPECT_EQ(serial, 0x2Bu);
    EXPECT_EQ(build, 15u);
    server.Reply(200, "ok\n40F5849A\n17\n");
    ASSERT_TRUE(UpdateServerRequest::GetRecoveryInfo(fingerprint, serial, build, Url()));
    EXPECT_EQ(serial, 0x40F5849Au);
    EXPECT_EQ(build, 17u);
    server.Reply(200, "ok\n0X10\n");
    ASSERT_TRUE(UpdateServerRequest::GetRecoveryInfo(fingerprint, serial, build, Url()));
    EXPECT_EQ(serial, 0x10u);
    EXPECT_EQ(build, 17u);  // no third line: unchanged
    server.Reply(200, "ok\n1\n0x1F\n");
    ASSERT_TRUE(UpdateServerRequest::GetRecoveryInfo(fingerprint, serial, build, Url()));
    EXPECT_EQ(build, 31u);
}

TEST_F(UpdateServerRequestTest, GetDeviceJWTRequiresThreePartsOfTwoCharacters)
{
    std::string token = "before";
    server.Reply(200, "ok\neyJh.eyJz.c2ln.more\r\n");
    ASSERT_TRUE(UpdateServerRequest::GetDeviceJWT(1, token, Url()));
    EXPECT_EQ(token, "eyJh.eyJz.c2ln.more");
    for (const char* body : {"ok\nab.cd.e\n", "ok\na.cd.ef\n", "ok\nab..ef\n", "ok\nabcdef\n", "ok\nab.cdef\n",
                             "ok\nab\n", "ok\n", "ok\nab.cd.\r\n"}) {
        token = "before";
        server.Reply(200, body);
        EXPECT_FALSE(UpdateServerRequest::GetDeviceJWT(1, token, Url())) << body;
        EXPECT_EQ(token, "before") << body;
    }
}

}  // namespace
