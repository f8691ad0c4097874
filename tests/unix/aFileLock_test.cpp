#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "support/TempDir.h"
#include "unix/aFileLock.h"

namespace {

using testsupport::TempDir;

double _seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(FileLock, RefusesWhatItCannotLock)
{
    TempDir dir;
    ASSERT_EQ(symlink((dir / "target").c_str(), (dir / "link").c_str()), 0);
    const struct {
        const char* name;
        std::string path;
        aErr expected;
    } cases[] = {
        {"null path", "", aErrParam},
        {"missing directory", dir / "no/such/lock", aErrIO},
        {"symbolic link", dir / "link", aErrIO},
        {"directory", dir.path(), aErrIO},
    };
    for (const auto& c : cases) {
        int fd = 1234;
        EXPECT_EQ(aFileLock_Acquire(c.path.empty() ? nullptr : c.path.c_str(), 0, &fd), c.expected) << c.name;
        EXPECT_EQ(fd, -1) << c.name;
    }
    EXPECT_EQ(aFileLock_Acquire("x", 0, nullptr), aErrParam);
    int none = -1;
    aFileLock_Release(&none);  // nothing to release
    aFileLock_Release(nullptr);
    EXPECT_EQ(none, -1);
}

TEST(FileLock, OneHolderAtATimeAndEveryUserMayOpenTheFile)
{
    TempDir dir;
    const std::string path = dir / "lock";
    mode_t old = umask(022);
    int first = -1;
    ASSERT_EQ(aFileLock_Acquire(path.c_str(), 0, &first), aErrNone);
    umask(old);
    ASSERT_GE(first, 0);
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0666u);

    // A second open of the file is a second holder, even in the same process.
    int second = 1234;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(aFileLock_Acquire(path.c_str(), 300, &second), aErrTimeout);
    EXPECT_EQ(second, -1);
    EXPECT_GE(_seconds_since(start), 0.29);

    aFileLock_Release(&first);
    EXPECT_EQ(first, -1);
    EXPECT_EQ(aFileLock_Acquire(path.c_str(), 0, &second), aErrNone);
    aFileLock_Release(&second);
}

// The lock dies with its holder: a process killed while it holds it blocks nobody.
TEST(FileLock, AKilledHolderLeavesNoLockBehind)
{
    TempDir dir;
    const std::string path = dir / "lock";
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int fd = -1;
        if (aFileLock_Acquire(path.c_str(), 5000, &fd) != aErrNone)
            _exit(2);
        (void)!write(ready[1], "x", 1);
        for (;;)
            pause();
    }
    close(ready[1]);
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    close(ready[0]);

    int fd = -1;
    EXPECT_EQ(aFileLock_Acquire(path.c_str(), 100, &fd), aErrTimeout);
    kill(child, SIGKILL);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(aFileLock_Acquire(path.c_str(), 20000, &fd), aErrNone);
    EXPECT_LT(_seconds_since(start), 10.0);
    aFileLock_Release(&fd);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status));
}

}  // namespace
