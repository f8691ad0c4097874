#pragma once
// The vmodule simulator as a background process for end-to-end tests: started
// with its command-line arguments, ready once it printed "ready", stopped with
// SIGTERM. Its standard error (with --trace, every packet) is kept.
#include <sys/types.h>

#include <string>
#include <vector>

namespace testsupport {

class VirtualModules {
public:
    explicit VirtualModules(const std::vector<std::string>& args);
    ~VirtualModules();
    VirtualModules(const VirtualModules&) = delete;
    VirtualModules& operator=(const VirtualModules&) = delete;

    // True when the simulator printed "ready".
    bool ready() const { return ready_; }
    // The lines it printed before "ready" ("module 40F5849A tcp 192.0.2.1 40123", ...).
    const std::vector<std::string>& endpoints() const { return endpoints_; }
    // The TCP port of the module with that serial number (text as printed); 0 if none.
    unsigned tcpPort(const std::string& serial) const;
    // Stops the simulator and returns what it wrote to standard error.
    std::string stop();

private:
    pid_t pid_ = -1;
    int errFile_ = -1;
    bool ready_ = false;
    std::vector<std::string> endpoints_;
    std::string errPath_;
};

std::string VirtualModulePath();

}  // namespace testsupport
