#pragma once
// The module-server program as a test's peer: started with its flags, read
// until it prints "ready", stopped with a signal.
//
//   testsupport::ModuleServerProcess server;
//   ASSERT_TRUE(server.Start({"-d", "40F5849A", "--tcp", "127.0.0.1:40123"})) << server.Error();
//   uint16_t port = server.Port();
#include <cstdint>
#include <string>

#include "support/PeerProcess.h"

namespace testsupport {

// build/app/module-server
std::string ModuleServerPath();

class ModuleServerProcess : public PeerProcess {
public:
    ModuleServerProcess() : PeerProcess(ModuleServerPath()) {}

    // The port of the "serving ... port N" line, 0 when none.
    uint16_t Port() const;
};

}  // namespace testsupport
