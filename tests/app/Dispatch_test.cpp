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

}  // namespace
