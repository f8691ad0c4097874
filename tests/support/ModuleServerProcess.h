#pragma once
// The module-server program as a test's peer: started with its flags, read
// until it prints "ready", stopped with a signal.
//
//   testsupport::ModuleServerProcess server;
//   ASSERT_TRUE(server.Start({"-d", "40F5849A", "--tcp", "127.0.0.1:40123"})) << server.Error();
//   uint16_t port = server.Port();
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

// build/app/module-server
std::string ModuleServerPath();

class ModuleServerProcess {
public:
    ModuleServerProcess() = default;
    ~ModuleServerProcess();
    ModuleServerProcess(const ModuleServerProcess&) = delete;
    ModuleServerProcess& operator=(const ModuleServerProcess&) = delete;

    // Starts it and waits (up to 20 s) for "ready"; false when it ended first.
    bool Start(const std::vector<std::string>& args);
    // Sends the signal and waits (up to 20 s, then SIGKILL); the exit status,
    // -1 when a signal ended it. The lines printed after "ready" join Lines().
    int Stop(int signal = 15);

    const std::vector<std::string>& Lines() const { return lines_; }
    // The port of the "serving ... port N" line, 0 when none.
    uint16_t Port() const;
    const std::string& Error() const { return error_; }

private:
    void readLines(int timeoutMs, bool untilReady);

    pid_t pid_ = -1;
    int out_ = -1;
    std::string pending_;
    std::vector<std::string> lines_;
    std::string error_;
};

}  // namespace testsupport
