#pragma once
// The vmodule program (virtual modules) as a test's peer (with --verbose it writes
// events on standard error, with --trace packets). Modules that answer
// TCP/IP discovery must run inside a private network namespace
// (support/PrivateNetwork.h).
//
//   testsupport::VmoduleProcess modules;
//   ASSERT_TRUE(modules.Start({"--module", "serial=40F5849A,build=1000"})) << modules.Error();
//   uint16_t port = modules.TcpPort(0x40F5849A);
#include <cstdint>
#include <string>
#include <vector>

#include "support/PeerProcess.h"

namespace testsupport {

// build/sim/vmodule
std::string VmodulePath();

class VmoduleProcess : public PeerProcess {
public:
    VmoduleProcess() : PeerProcess(VmodulePath()) {}

    // From the lines printed before "ready" ("module 40F5849A tcp 127.0.0.1 40123", ...).
    std::string TcpAddress(uint32_t serial) const;  // "" when the module has no TCP endpoint
    uint16_t TcpPort(uint32_t serial) const;        // 0 when it has none
    std::string PtyPath(uint32_t serial) const;

private:
    std::vector<std::string> endpoint(uint32_t serial, const std::string& kind) const;
};

}  // namespace testsupport
