#pragma once
// Several virtual modules with their transports, as vmodule starts them: each
// module at the head of a link gets its transport (TCP with optional
// discovery, or a pseudo-terminal), and routing modules get the modules on
// their I2C bus attached.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/ModuleConfig.h"
#include "sim/VirtualModule.h"

namespace Sim {

class TcpModuleServer;
class PtyModuleServer;

struct ModuleSpec {
    ModuleConfig config;
    std::vector<ModuleConfig> attached;  // modules on this module's I2C bus
};

// Reads a configuration file: "[module]" starts a module, "[attached]" a
// module on the bus of the module before it, and "key = value" lines set
// their configuration ("fault = ..." may repeat). '#' starts a comment.
bool ReadModuleFile(const std::string& path, std::vector<ModuleSpec>& specs, std::string& error);

class ModuleSet {
public:
    ModuleSet();
    ~ModuleSet();
    ModuleSet(const ModuleSet&) = delete;
    ModuleSet& operator=(const ModuleSet&) = delete;

    // Starts every module; on failure stops what was started.
    bool Start(const std::vector<ModuleSpec>& specs, std::string& error);
    void Stop();

    // One line per place a module can be reached:
    //   "module 40F5849A tcp 127.0.0.1 40123"
    //   "module 40F5849A discovery 192.0.2.1"
    //   "module 40F5849A pty /dev/pts/3"
    //   "module 12345678 attached 40F5849A 4"  (router serial, bus address)
    std::vector<std::string> Endpoints() const;
    std::vector<std::shared_ptr<VirtualModule>> Modules() const { return _modules; }

    // Before Start: event lines of the modules, packet lines of the transports.
    void SetLogger(std::function<void(const std::string&)> logger) { _logger = std::move(logger); }
    void SetTrace(std::function<void(const std::string&)> trace) { _trace = std::move(trace); }

private:
    std::vector<std::shared_ptr<VirtualModule>> _modules;
    std::vector<std::unique_ptr<TcpModuleServer>> _tcp;
    std::vector<std::unique_ptr<PtyModuleServer>> _pty;
    std::vector<std::string> _endpoints;
    std::function<void(const std::string&)> _logger;
    std::function<void(const std::string&)> _trace;
};

}  // namespace Sim
