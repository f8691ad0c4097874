#include "support/PrivateNetwork.h"

#include <net/if.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace testsupport {

namespace {

// Set for the re-run: the inode of the network namespace the test started in.
constexpr const char* kOuterNamespaceVariable = "UPDATER_TEST_OUTER_NETNS";

unsigned long _namespace_inode()
{
    struct stat info;
    if (stat("/proc/self/ns/net", &info) != 0)
        return 0;
    return info.st_ino;
}

std::string _self()
{
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return "";
    path[n] = '\0';
    return path;
}

// Runs a shell command, collecting its output; returns its exit status.
int _run(const std::string& command, std::string& output)
{
    FILE* p = popen((command + " 2>&1").c_str(), "r");
    if (!p)
        return -1;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, p)) > 0)
        output.append(buffer, n);
    int status = pclose(p);
    if (status == -1 || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

std::string _quote(const std::string& text)
{
    std::string q = "'";
    for (char c : text) {
        if (c == '\'')
            q += "'\\''";
        else
            q += c;
    }
    return q + "'";
}

}  // namespace

bool InPrivateNetwork()
{
    const char* outer = getenv(kOuterNamespaceVariable);
    if (!outer)
        return false;
    unsigned long inode = _namespace_inode();
    return inode != 0 && std::to_string(inode) != outer && if_nametoindex("eth0") == 0;
}

bool RerunInPrivateNetwork()
{
    return getenv(kOuterNamespaceVariable) != nullptr;
}

bool PrivateNetworkAvailable(std::string& why)
{
    std::string output;
    std::string flags = geteuid() == 0 ? "-n" : "-rn";
    if (_run("unshare " + flags + " true", output) != 0) {
        why = "unshare " + flags + ": " + output;
        return false;
    }
    if (_run("command -v ip", output) != 0) {
        why = "the ip command is missing";
        return false;
    }
    return true;
}

int RerunCurrentTestInPrivateNetwork(std::string& output)
{
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string filter = std::string(info->test_suite_name()) + "." + info->name();
    std::string command = std::string(kOuterNamespaceVariable) + "=" + std::to_string(_namespace_inode()) + " " +
                          _quote(UPDATER_SOURCE_DIR "/scripts/netns-run") + " " + _quote(_self()) + " " +
                          _quote("--gtest_filter=" + filter);
    return _run(command, output);
}

int RerunProgramInPrivateNetwork(char** argv)
{
    if (InPrivateNetwork())
        return -1;
    if (RerunInPrivateNetwork()) {
        fprintf(stderr, "expected a private network namespace without eth0; not run\n");
        return 1;
    }
    std::string why;
    if (!PrivateNetworkAvailable(why)) {
        fprintf(stderr, "network namespaces unavailable (%s): not run\n", why.c_str());
        return 0;
    }
    setenv(kOuterNamespaceVariable, std::to_string(_namespace_inode()).c_str(), 1);
    std::string self = _self();
    std::string netns = UPDATER_SOURCE_DIR "/scripts/netns-run";
    std::vector<char*> args = {netns.data(), self.data()};
    for (char** a = argv + 1; *a; ++a)
        args.push_back(*a);
    args.push_back(nullptr);
    execv(netns.c_str(), args.data());
    perror("netns-run");
    return 1;
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
