#include "support/PrivateNetwork.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace TestSupport {

namespace {

constexpr const char* kInsideVariable = "UPDATER_TEST_PRIVATE_NETWORK";

std::string _self() {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return "";
    path[n] = '\0';
    return path;
}

// Runs a shell command, collecting its output; returns its exit status.
int _run(const std::string& command, std::string& output) {
    FILE* p = popen((command + " 2>&1").c_str(), "r");
    if (!p) return -1;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) output.append(buffer, n);
    int status = pclose(p);
    if (status == -1 || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

std::string _quote(const std::string& text) {
    std::string q = "'";
    for (char c : text) {
        if (c == '\'') q += "'\\''";
        else q += c;
    }
    return q + "'";
}

}  // namespace

bool InPrivateNetwork() {
    const char* inside = getenv(kInsideVariable);
    return inside && std::string(inside) == "1";
}

bool PrivateNetworkAvailable(std::string& why) {
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

int RerunCurrentTestInPrivateNetwork(std::string& output) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string filter = std::string(info->test_suite_name()) + "." + info->name();
    std::string command = std::string(kInsideVariable) + "=1 " + _quote(UPDATER_SOURCE_DIR "/scripts/netns-run") +
                          " " + _quote(_self()) + " " + _quote("--gtest_filter=" + filter);
    return _run(command, output);
}

}  // namespace TestSupport
