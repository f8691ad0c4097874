// The emulation's own housekeeping: folders that killed runs left behind are
// removed, those of live runs are kept.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "sim/usb/UsbEmulation.h"

namespace fs = std::filesystem;

namespace {

fs::path _left_behind(pid_t owner)
{
    const char* tmp = getenv("TMPDIR");
    char name[] = "umockdev.XXXXXX";
    fs::path dir = fs::path(tmp && *tmp ? tmp : "/tmp") / name;
    std::string pattern = dir.string();
    EXPECT_NE(mkdtemp(pattern.data()), nullptr);
    std::ofstream(fs::path(pattern) / "updater-test-owner") << owner << "\n";
    return pattern;
}

TEST(UsbEmulationHousekeeping, RemovesFoldersOfEndedRunsOnly)
{
    pid_t ended = fork();
    ASSERT_GE(ended, 0);
    if (ended == 0)
        _exit(0);
    ASSERT_EQ(waitpid(ended, nullptr, 0), ended);

    fs::path stale = _left_behind(ended);
    fs::path live = _left_behind(getppid());
    {
        usbemu::UsbEmulation emulation;
        EXPECT_TRUE(fs::exists(emulation.root()));
        EXPECT_FALSE(fs::exists(stale));
        EXPECT_TRUE(fs::exists(live));
    }
    std::error_code error;
    fs::remove_all(live, error);
}

TEST(UsbEmulationHousekeeping, RemovesItsOwnFolder)
{
    std::string root;
    {
        usbemu::UsbEmulation emulation;
        emulation.addModule(0x1234, 0x13);
        emulation.addKernelNode(0x1234);
        root = emulation.root();
        EXPECT_TRUE(fs::exists(root + "/dev/tessarine.00001234"));
    }
    EXPECT_FALSE(fs::exists(root));
}

}  // namespace
