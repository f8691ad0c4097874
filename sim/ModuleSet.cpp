#include "sim/ModuleSet.h"

#include <fstream>

#include "sim/PtyModuleServer.h"
#include "sim/TcpModuleServer.h"
#include "sim/Text.h"

namespace Sim {

bool ReadModuleFile(const std::string& path, std::vector<ModuleSpec>& specs, std::string& error)
{
    std::ifstream in(path);
    if (!in) {
        error = "cannot read " + path;
        return false;
    }
    std::string line;
    int number = 0;
    ModuleConfig* current = nullptr;
    while (std::getline(in, line)) {
        ++number;
        std::string where = path + ":" + std::to_string(number) + ": ";
        size_t hash = line.find('#');
        if (hash != std::string::npos)
            line.erase(hash);
        line = TrimBlanks(line);
        if (line.empty())
            continue;
        if (line == "[module]") {
            specs.emplace_back();
            current = &specs.back().config;
        } else if (line == "[attached]") {
            if (specs.empty()) {
                error = where + "[attached] needs a [module] before it";
                return false;
            }
            specs.back().attached.emplace_back();
            current = &specs.back().attached.back();
            current->transport = Transport::None;
        } else if (line.front() == '[') {
            error = where + "unknown section " + line;
            return false;
        } else {
            size_t eq = line.find('=');
            if (!current || eq == std::string::npos) {
                error = where + (current ? "expected key = value" : "settings must follow [module]");
                return false;
            }
            std::string why;
            if (!current->Set(line.substr(0, eq), line.substr(eq + 1), why)) {
                error = where + why;
                return false;
            }
        }
    }
    return true;
}

ModuleSet::ModuleSet() = default;

ModuleSet::~ModuleSet()
{
    Stop();
}

bool ModuleSet::Start(const std::vector<ModuleSpec>& specs, std::string& error)
{
    auto make = [&](const ModuleConfig& config) {
        auto module = std::make_shared<VirtualModule>(config);
        if (_logger)
            module->SetLogger(_logger);
        _modules.push_back(module);
        return module;
    };
    for (const ModuleSpec& spec : specs) {
        auto head = make(spec.config);
        std::string serial = SerialText(spec.config.serialNumber);
        for (const ModuleConfig& attachedConfig : spec.attached) {
            if (attachedConfig.moduleAddress == spec.config.moduleAddress) {
                error = "module " + SerialText(attachedConfig.serialNumber) + " has its router's address";
                Stop();
                return false;
            }
            auto module = make(attachedConfig);
            head->Attach(module);
            _endpoints.push_back("module " + SerialText(attachedConfig.serialNumber) + " attached " + serial + " " +
                                 std::to_string(attachedConfig.moduleAddress));
        }
        const ModuleConfig& c = spec.config;
        if (c.transport == Transport::Tcp) {
            auto server = std::make_unique<TcpModuleServer>(head, c.listenAddress, c.port, c.discoveryInterface);
            if (_trace)
                server->SetTrace(_trace);
            if (!server->Start(error)) {
                error = "module " + serial + ": " + error;
                Stop();
                return false;
            }
            _endpoints.push_back("module " + serial + " tcp " + server->Address() + " " +
                                 std::to_string(server->Port()));
            if (server->Discovery())
                _endpoints.push_back("module " + serial + " discovery " + server->DiscoveryInterface());
            _tcp.push_back(std::move(server));
        } else if (c.transport == Transport::Pty) {
            if (!c.discoveryInterface.empty()) {
                error = "module " + serial + ": discovery needs the tcp transport";
                Stop();
                return false;
            }
            auto server = std::make_unique<PtyModuleServer>(head);
            if (_trace)
                server->SetTrace(_trace);
            if (!server->Start(error)) {
                error = "module " + serial + ": " + error;
                Stop();
                return false;
            }
            _endpoints.push_back("module " + serial + " pty " + server->SlavePath());
            _pty.push_back(std::move(server));
        }
    }
    return true;
}

std::vector<std::string> ModuleSet::Endpoints() const
{
    return _endpoints;
}

void ModuleSet::Stop()
{
    for (auto& s : _tcp)
        s->Stop();
    for (auto& s : _pty)
        s->Stop();
    _tcp.clear();
    _pty.clear();
}

}  // namespace Sim
