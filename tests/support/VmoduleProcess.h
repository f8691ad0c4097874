#pragma once
// The vmodule program (virtual modules) as a test's peer: started with its
// flags, read until it prints "ready", stopped with SIGTERM. Modules that answer
// TCP/IP discovery must run inside a private network namespace
// (support/PrivateNetwork.h).
//
//   testsupport::VmoduleProcess modules;
//   ASSERT_TRUE(modules.Start({"--module", "serial=40F5849A,build=1000"})) << modules.Error();
//   uint16_t port = modules.TcpPort(0x40F5849A);
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

// build/sim/vmodule
std::string VmodulePath();

class VmoduleProcess {
public:
    VmoduleProcess() = default;
    ~VmoduleProcess();
    VmoduleProcess(const VmoduleProcess&) = delete;
    VmoduleProcess& operator=(const VmoduleProcess&) = delete;

    // Starts vmodule with these arguments and waits (up to 10 s) for "ready".
    // False when it ended or never got ready; Error() then says why.
    bool Start(const std::vector<std::string>& args);
    // SIGTERM, then waits; the exit status (-1 when a signal ended it).
    int Stop();

    // The lines printed before "ready" ("module 40F5849A tcp 127.0.0.1 40123", ...).
    const std::vector<std::string>& Lines() const { return lines_; }
    std::string TcpAddress(uint32_t serial) const;  // "" when the module has no TCP endpoint
    uint16_t TcpPort(uint32_t serial) const;        // 0 when it has none
    std::string PtyPath(uint32_t serial) const;
    // What vmodule wrote on standard error so far (events with --verbose, packets with --trace).
    std::string Stderr() const;
    const std::string& Error() const { return error_; }
    pid_t Pid() const { return pid_; }

private:
    std::vector<std::string> endpoint(uint32_t serial, const std::string& kind) const;

    pid_t pid_ = -1;
    std::vector<std::string> lines_;
    std::string stderrPath_;
    std::string error_;
};

}  // namespace testsupport
