#pragma once
// A module: its address on the link and the Link that reaches it. After each
// connect the module learns its address from the device itself, unless its
// networking mode is off (a module behind a router keeps the address given).
#include <cstdint>

#include "common/device/Link.h"

namespace Kestrune::Tessarine {

class Module {
public:
    Module(uint8_t address, uint8_t model = 0);
    Module(uint8_t address, bool networkingMode, uint8_t model = 0);
    virtual ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    // serial number 0 → aErrParam, without any discovery.
    aErr connect(linkType type, uint32_t serialNumber);
    aErr discoverAndConnect(linkType type, uint32_t serialNumber);
    // aErrBusy when already connected.
    aErr connectFromSpec(const linkSpec& spec);
    // Shares the router's link; the module keeps the address it was given.
    aErr connectThroughLinkModule(Module* router);
    aErr reconnect();
    aErr disconnect();
    bool isConnected() const;
    int32_t getStatus() const;

    uint8_t getModuleAddress() const { return address_; }
    void setModuleAddress(uint8_t address) { address_ = address; }
    void setNetworkingMode(bool on) { networkingMode_ = on; }
    bool getNetworkingMode() const { return networkingMode_; }

    aErr setConfig(const PlexusConfig& config);
    aErr getConfig(PlexusConfig* config) const;
    Link* getLink() const { return link_; }
    aErr getLinkSpecifier(linkSpec* spec) const;

    // Module description queries (command 73). hasUEI returns the module's
    // result byte: 0 when it has that entity value.
    aErr hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags);
    aErr getBuild(uint32_t* build);
    aErr classQuantity(uint8_t entityClass, uint8_t* quantity);
    // Echo test on command 23.
    aErr debug(const uint8_t* data, uint8_t length);

    aErr enablePacketLog(const char* fileName);
    aErr disablePacketLog();

protected:
    // Learns the module address from the device after a connect.
    aErr _autoNetwork();

private:
    aErr _afterConnect(aErr result);

    Link* link_;
    uint8_t address_;
    bool networkingMode_;
    uint8_t model_;
};

}  // namespace Kestrune::Tessarine
