#include "support/NetNamespace.h"

#include <gtest/gtest.h>
#include <net/if.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>

namespace testsupport {

namespace {

constexpr const char* kOuterNamespaceVariable = "UPDATER_TEST_OUTER_NETNS";

unsigned long _namespace_inode()
{
    struct stat info;
    if (stat("/proc/self/ns/net", &info) != 0)
        return 0;
    return info.st_ino;
}

void _rerun_current_test()
{
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string filter = std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name();
    char self[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(length, 0);
    self[length] = '\0';
    std::string script = UPDATER_SOURCE_DIR "/scripts/netns-run";
    std::string outer = std::to_string(_namespace_inode());

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        setenv(kOuterNamespaceVariable, outer.c_str(), 1);
        execl(script.c_str(), script.c_str(), self, filter.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the namespaced run of the test ended abnormally";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the test failed inside its private network namespace";
}

}  // namespace

bool InPrivateNetworkNamespace()
{
    const char* outer = getenv(kOuterNamespaceVariable);
    if (!outer)
        return false;
    unsigned long inode = _namespace_inode();
    return inode != 0 && std::to_string(inode) != outer && if_nametoindex("eth0") == 0;
}

bool EnterPrivateNetworkNamespace()
{
    if (InPrivateNetworkNamespace())
        return true;
    if (getenv(kOuterNamespaceVariable)) {
        ADD_FAILURE() << "expected a private network namespace, refusing to run the test here";
        return false;
    }
    _rerun_current_test();
    return false;
}

}  // namespace testsupport

// ZeroMQ moves messages between its actor threads through its own lock-free pipes,
// which ThreadSanitizer cannot see (libzmq and czmq are not instrumented): a frame
// written on one side and read on the other, or czmq's beacon-interface text read by
// an actor and later replaced, look unordered. Only reports with ZeroMQ's own code on
// one side are left out.
extern "C" const char* __tsan_default_suppressions()
{
    return "race:libzmq.so\n"
           "race:libczmq.so\n";
}
