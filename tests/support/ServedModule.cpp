#include "support/ServedModule.h"

#include <arpa/inet.h>

#include "common/aLink.h"
#include "common/served/aLinkNetwork.h"
#include "common/aLinkRecord.h"

namespace testsupport {

ServedModule::~ServedModule()
{
    Stop();
}

bool ServedModule::Start(const std::string& moduleKeys, uint8_t localOnly, uint32_t interfaceAddress)
{
    std::vector<Sim::ModuleSpec> specs(1);
    if (!moduleKeys.empty() && !specs[0].config.SetList(moduleKeys, error_))
        return false;
    serial_ = specs[0].config.serialNumber;
    modules_.SetTrace([this](const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex_);
        trace_.push_back(line);
    });
    if (!modules_.Start(specs, error_))
        return false;
    for (const std::string& line : modules_.Endpoints()) {
        size_t at = line.rfind(' ');
        if (line.find(" tcp ") != std::string::npos && at != std::string::npos)
            modulePort_ = static_cast<uint16_t>(std::stoi(line.substr(at + 1)));
    }
    deviceId_ = aLink_CreateTCPIP(serial_, htonl(INADDR_LOOPBACK), modulePort_);
    if (!deviceId_) {
        error_ = "no link to the virtual module";
        return false;
    }
    interface_ = interfaceAddress;
    clientId_ = aLink_CreateServer(deviceId_, &port_, &interface_, localOnly);
    if (!clientId_) {
        aLink_Destroy(&deviceId_);
        error_ = "the module could not be served";
        return false;
    }
    return true;
}

void ServedModule::Stop()
{
    if (clientId_)
        aLink_Destroy(&clientId_);  // the device link and its server go with it
    deviceId_ = 0;
    modules_.Stop();
}

aServer* ServedModule::Server() const
{
    return aLink_GetServer(deviceId_);
}

std::vector<std::string> ServedModule::Received() const
{
    std::vector<std::string> received;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const std::string& line : trace_) {
        size_t at = line.find(" <- ");
        if (at == std::string::npos)
            continue;
        std::string packet = line.substr(at + 4);
        // "AD 00": magic; "AF ..": route; "xx 02 00 yy": a heartbeat answer.
        if (packet.rfind("AD 00", 0) == 0 || packet.rfind("AF ", 0) == 0 || packet.compare(2, 6, " 02 00") == 0)
            continue;
        received.push_back(packet);
    }
    return received;
}

}  // namespace testsupport
