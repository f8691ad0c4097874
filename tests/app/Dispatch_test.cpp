#include <gtest/gtest.h>

#include <sys/stat.h>

#include "app/RecordingCLIDisplay.h"
#include "support/TempDir.h"
#include "app/Dispatch.h"

namespace {

using testsupport::IsDirectory;
using testsupport::PathMode;
using testsupport::TempDir;

class StoreDirectory : public ::testing::Test {
protected:
    void SetUp() override { saved_umask_ = umask(022); }
    void TearDown() override { umask(saved_umask_); }

    RecordingCLIDisplay display;
    Parameters params;
    TempDir temp;

private:
    mode_t saved_umask_ = 0;
};

TEST_F(StoreDirectory, UpdaterIsAppendedAndCreatedWithItsParents)
{
    params.store_directory = temp / "a/b/c";
    ASSERT_TRUE(_prepare_store_directory(display, &params));
    EXPECT_EQ(params.store_directory, temp / "a/b/c/updater");
    EXPECT_TRUE(IsDirectory(params.store_directory));
    EXPECT_EQ(PathMode(params.store_directory), 0755);
    EXPECT_EQ(PathMode(temp / "a"), 0755);
    EXPECT_TRUE(display.errors.empty());
    EXPECT_TRUE(display.infos.empty());
}

TEST_F(StoreDirectory, ExistingDirectoryIsKept)
{
    ASSERT_EQ(mkdir((temp / "updater").c_str(), 0700), 0);
    ASSERT_TRUE(temp.WriteFile("updater/keep", "x"));
    params.store_directory = temp.path();
    ASSERT_TRUE(_prepare_store_directory(display, &params));
    EXPECT_EQ(PathMode(temp / "updater"), 0700);
    EXPECT_EQ(PathMode(temp / "updater/keep") & 0400, 0400);
}

TEST_F(StoreDirectory, PathBelowARegularFileIsReported)
{
    ASSERT_TRUE(temp.WriteFile("file", "not a directory"));
    params.store_directory = temp / "file/sub";
    EXPECT_FALSE(_prepare_store_directory(display, &params));
    EXPECT_EQ(display.errors,
              std::vector<std::string>{"Could not find updater directory at " + temp.path() + "/file/sub/updater"});
}

TEST(DiscoveryLinkType, TransportOnlyWhenGivenAndNotRecover)
{
    Parameters params;
    EXPECT_EQ(_discovery_link_type(params), USB);  // -D alone searches USB only
    params.transport_given = true;
    params.transport = TRANSPORT_TCPIP;
    EXPECT_EQ(_discovery_link_type(params), TCPIP);
    params.transport = TRANSPORT_RECOVER;
    EXPECT_EQ(_discovery_link_type(params), USB);

    // Behind a router without "-t" the router's own type is looked up (0).
    params.router_serial = 0xD272031D;
    EXPECT_EQ(_discovery_link_type(params), 0);
    params.transport_given = false;
    params.transport = TRANSPORT_USB;  // the default, not given
    EXPECT_EQ(_discovery_link_type(params), 0);
    params.transport_given = true;
    EXPECT_EQ(_discovery_link_type(params), USB);
}

// "--json" applies to every command that has a result to print.
struct JsonCase {
    uint32_t commands;
    bool json;
    bool applies;
};

class JsonListing : public ::testing::TestWithParam<JsonCase> {};

TEST_P(JsonListing, OnlyForCommandsWithAResult)
{
    Parameters params;
    for (uint32_t bit = 1; bit; bit <<= 1)
        if (GetParam().commands & bit)
            params.commands.Set(static_cast<COMMANDS>(bit));
    params.json_output = GetParam().json;
    EXPECT_EQ(_json_listing(params), GetParam().applies);
}

INSTANTIATE_TEST_SUITE_P(Commands, JsonListing,
                         ::testing::Values(JsonCase{CMD_DISCOVER, true, true}, JsonCase{CMD_LIST_BUILDS, true, true},
                                           JsonCase{CMD_LIST_LOCAL_BUILDS, true, true},
                                           JsonCase{CMD_DISCOVER, false, false},
                                           JsonCase{CMD_LIST_BUILDS, false, false},
                                           // -G and -N run before the listing; -D comes before -U.
                                           JsonCase{CMD_GET_BUILD | CMD_LIST_BUILDS, true, true},
                                           JsonCase{CMD_FINGERPRINT | CMD_LIST_LOCAL_BUILDS, true, true},
                                           JsonCase{CMD_DISCOVER | CMD_UPDATE, true, true},
                                           // Updates, downloads, tokens, fingerprints and the history print
                                           // documents too; -C and -I have none.
                                           JsonCase{CMD_UPDATE | CMD_LIST_BUILDS, true, true},
                                           JsonCase{CMD_UPDATE, true, true}, JsonCase{CMD_GET_BUILD, true, true},
                                           JsonCase{CMD_GET_JWT, true, true}, JsonCase{CMD_FINGERPRINT, true, true},
                                           JsonCase{CMD_HISTORY, true, true}, JsonCase{CMD_UPDATE, false, false},
                                           JsonCase{CMD_CHECK_BIRD | CMD_VIEW_INFO, true, false},
                                           JsonCase{0, true, false},
                                           // Help prints the usage whatever else was asked.
                                           JsonCase{CMD_HELP | CMD_DISCOVER, true, false}));

}  // namespace
