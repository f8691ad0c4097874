#pragma once
// A virtual module (sim/) on 127.0.0.1 whose TCP link this process opens and
// serves on the network, as a program sharing a module would:
//
//   testsupport::ServedModule served;
//   ASSERT_TRUE(served.Start("serial=40F5849A")) << served.Error();
//   // clients reach it at 127.0.0.1:served.Port(), or find it by discovery
//
// Every packet the module receives is kept ("40F5849A <- 02 03 03 49 20").
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "sim/ModuleSet.h"

struct aServer;

namespace testsupport {

class ServedModule {
public:
    ServedModule() = default;
    ~ServedModule();
    ServedModule(const ServedModule&) = delete;
    ServedModule& operator=(const ServedModule&) = delete;

    // Starts the module (vmodule KEY=VALUE list), opens its TCP link and serves
    // it (aLink_CreateServer). localOnly 0 serves on interfaceAddress.
    bool Start(const std::string& moduleKeys = "", uint8_t localOnly = 1, uint32_t interfaceAddress = 0);
    // Ends the serving and the module.
    void Stop();

    uint16_t Port() const { return port_; }
    uint32_t Interface() const { return interface_; }
    aServer* Server() const;
    uint16_t ModulePort() const { return modulePort_; }
    uint32_t Serial() const { return serial_; }

    // Payloads (hex text) of the packets the module received, oldest first,
    // leaving out magic and heartbeat packets.
    std::vector<std::string> Received() const;
    const std::string& Error() const { return error_; }

private:
    Sim::ModuleSet modules_;
    mutable std::mutex mutex_;
    std::vector<std::string> trace_;
    uint32_t serial_ = 0;
    uint32_t deviceId_ = 0;
    uint32_t clientId_ = 0;
    uint16_t port_ = 0;
    uint16_t modulePort_ = 0;
    uint32_t interface_ = 0;
    std::string error_;
};

}  // namespace testsupport
