#include "common/device/Module.h"

#include <cstring>

#include "common/aLink.h"
#include "common/aUEI.h"
#include "unix/aTime.h"

namespace Kestrune::Tessarine {

namespace {

constexpr int kAddressAttempts = 4;
constexpr unsigned kAddressRetryMs = 5;

// Module description queries (command 73).
constexpr uint8_t kInfoHasUEI = 1;
constexpr uint8_t kInfoClassQuantity = 4;
constexpr uint8_t kInfoBuild = 0xFF;

}  // namespace

Module::Module(uint8_t address, uint8_t model) : Module(address, true, model) {}

Module::Module(uint8_t address, bool networkingMode, uint8_t model)
    : link_(new Link("Link")), address_(address), networkingMode_(networkingMode), model_(model)
{
}

Module::~Module()
{
    delete link_;
}

aErr Module::_autoNetwork()
{
    aErr result = aErrNotReady;
    uint8_t address = 0;
    for (int attempt = 0; attempt < kAddressAttempts && result == aErrNotReady; ++attempt) {
        if (attempt)
            aTime_MSSleep(kAddressRetryMs);
        result = link_->getModuleAddress(&address);
    }
    if (result == aErrNone && address != 0 && address != address_)
        address_ = address;
    return result;
}

aErr Module::_afterConnect(aErr result)
{
    if (result != aErrNone || !networkingMode_)
        return result;
    return _autoNetwork();
}

aErr Module::connect(linkType type, uint32_t serialNumber)
{
    if (serialNumber == 0)
        return aErrParam;
    return discoverAndConnect(type, serialNumber);
}

aErr Module::discoverAndConnect(linkType type, uint32_t serialNumber)
{
    if (!link_)
        return aErrInitialization;
    return _afterConnect(link_->discoverAndConnect(type, serialNumber, model_));
}

aErr Module::connectFromSpec(const linkSpec& spec)
{
    if (!link_)
        return aErrInitialization;
    if (link_->isConnected())
        return aErrBusy;
    aErr result = link_->setLinkSpecifier(spec);
    if (result != aErrNone)
        return result;
    return _afterConnect(link_->connect());
}

aErr Module::connectThroughLinkModule(Module* router)
{
    if (isConnected())
        return aErrNone;
    if (!router || !router->link_ || !link_)
        return aErrInitialization;
    linkSpec spec;
    aErr result = router->link_->getLinkSpecifier(&spec);
    if (result != aErrNone)
        return result;
    PlexusConfig config;
    router->link_->getConfig(&config);
    if ((result = link_->setConfig(config)) != aErrNone)
        return result;
    if (config.enabled) {
        spec.type = PLEXUS;
        spec.ipAddress = config.networkInterface;
        spec.ipPort = config.assignedPort;
    }
    if ((result = link_->setLinkSpecifier(spec)) != aErrNone)
        return result;
    result = link_->connectThroughLinkModule(router->link_);
    if (result == aErrNone)
        networkingMode_ = false;
    return result;
}

aErr Module::reconnect()
{
    if (!link_)
        return aErrInitialization;
    return _afterConnect(link_->connect());
}

aErr Module::disconnect()
{
    if (!link_)
        return aErrInitialization;
    return link_->disconnect();
}

bool Module::isConnected() const
{
    return link_ && link_->isConnected();
}

int32_t Module::getStatus() const
{
    return link_ ? link_->getStatus() : LinkStatus::failed;
}

aErr Module::setConfig(const PlexusConfig& config)
{
    return link_ ? link_->setConfig(config) : aErrNotReady;
}

aErr Module::getConfig(PlexusConfig* config) const
{
    return link_ ? link_->getConfig(config) : aErrNotReady;
}

aErr Module::getLinkSpecifier(linkSpec* spec) const
{
    return link_ ? link_->getLinkSpecifier(spec) : aErrNotReady;
}

aErr Module::hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags)
{
    if ((flags & ueiOPTION_MASK) || flags == (ueiOPTION_GET | ueiOPTION_SET))
        return aErrParam;
    if (!isConnected())
        return aErrConnection;
    const uint8_t request[] = {kInfoHasUEI, command, option, index, flags};
    aErr result = link_->sendPacket(address_, cmdMODULEINFO, sizeof request, request);
    if (result != aErrNone)
        return result;
    const uint8_t match[] = {cmdMODULEINFO};
    uint8_t length = sizeof match;
    uint8_t reply[aPACKET_MAXDATA];
    if ((result = link_->receivePacket(address_, match, &length, reply)) != aErrNone)
        return result;
    const uint8_t expected[] = {cmdMODULEINFO, kInfoHasUEI, command, option, index};
    if (length != 6 || memcmp(reply, expected, sizeof expected) != 0)
        return aErrUnknown;
    return reply[5];
}

aErr Module::getBuild(uint32_t* build)
{
    if (!build)
        return aErrParam;
    if (!link_)
        return aErrInitialization;
    if (!isConnected())
        return aErrConnection;
    const uint8_t request[] = {kInfoBuild};
    aErr result = link_->sendPacket(address_, cmdMODULEINFO, sizeof request, request);
    if (result != aErrNone)
        return result;
    const uint8_t match[] = {cmdMODULEINFO, kInfoBuild};
    uint8_t length = sizeof match;
    uint8_t reply[aPACKET_MAXDATA];
    if ((result = link_->receivePacket(address_, match, &length, reply)) != aErrNone)
        return result;
    if (length != 6)
        return aErrSize;
    *build = aUEI_RetrieveInt(reply + 2);
    return aErrNone;
}

aErr Module::classQuantity(uint8_t entityClass, uint8_t* quantity)
{
    if (!quantity)
        return aErrParam;
    if (!isConnected())
        return aErrConnection;
    const uint8_t request[] = {kInfoClassQuantity, entityClass};
    aErr result = link_->sendPacket(address_, cmdMODULEINFO, sizeof request, request);
    if (result != aErrNone)
        return result;
    const uint8_t match[] = {cmdMODULEINFO, kInfoClassQuantity};
    uint8_t length = sizeof match;
    uint8_t reply[aPACKET_MAXDATA];
    if ((result = link_->receivePacket(address_, match, &length, reply)) != aErrNone)
        return result;
    if (length != 4 || reply[2] != entityClass)
        return aErrUnknown;
    *quantity = reply[3];
    return aErrNone;
}

aErr Module::debug(const uint8_t* data, uint8_t length)
{
    if (length && !data)
        return aErrParam;
    if (!isConnected())
        return aErrConnection;
    aErr result = link_->sendPacket(address_, cmdDEBUG, length, data);
    if (result != aErrNone)
        return result;
    const uint8_t match[] = {cmdDEBUG};
    uint8_t replyLength = sizeof match;
    uint8_t reply[aPACKET_MAXDATA];
    if ((result = link_->receivePacket(address_, match, &replyLength, reply)) != aErrNone)
        return result;
    if (replyLength != length + 1 || (length && memcmp(reply + 1, data, length) != 0))
        return aErrIO;
    return aErrNone;
}

aErr Module::enablePacketLog(const char* fileName)
{
    return link_ ? link_->enablePacketLog(fileName) : aErrConfiguration;
}

aErr Module::disablePacketLog()
{
    return link_ ? link_->disablePacketLog() : aErrConfiguration;
}

}  // namespace Kestrune::Tessarine
