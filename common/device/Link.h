#pragma once
// A Link knows how to reach one device (its linkSpec), holds at most one use of
// an engine link and carries the link's network settings. Entities exchange
// packets with their module through it.
#include <cstddef>
#include <cstdint>

#include "common/aLinkSpec.h"
#include "common/aPacketFifo.h"
#include "common/aUEI.h"
#include "unix/aError.h"

namespace Kestrune::Tessarine {

// Network settings of a Link.
struct PlexusConfig {
    bool enabled = true;                     // serve device links; reach network kinds as clients
    bool fallback = true;                    // retry once with the other transport family
    uint8_t localOnly = 1;                   // serve and answer on the loopback interface only
    uint16_t assignedPort = 0;               // server port, filled in when served
    uint32_t networkInterface = 0x0100007F;  // 127.0.0.1, network byte order
};

class Link {
public:
    explicit Link(const char* name);
    Link(const linkSpec& spec, const char* name);
    ~Link();
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    // aErrBusy while the link runs (the old spec stays).
    aErr setLinkSpecifier(const linkSpec& spec);
    // aErrNotFound without a spec; aErrParam for a null out.
    aErr getLinkSpecifier(linkSpec* spec) const;
    // aErrMode while the link runs.
    aErr setConfig(const PlexusConfig& config);
    aErr getConfig(PlexusConfig* config) const;

    // Connects from the stored spec; aErrConnection when already holding a link.
    aErr connect();
    // Finds the module (by serial number, or the first of the model when the
    // serial number is 0) and connects; retries once with the other transport
    // family when the config allows.
    aErr discoverAndConnect(linkType type, uint32_t serialNumber, uint8_t model);
    // Shares the other Link's engine link (a module behind a router).
    aErr connectThroughLinkModule(Link* other);
    // Drops this Link's use of its engine link.
    aErr disconnect();
    aErr reset();
    bool isConnected() const;
    // The engine status, or failed (8) without an engine link.
    int32_t getStatus() const;
    // The engine link id (0 = none).
    uint32_t getLinkId() const;

    // Asks the device for its module address with the magic packet.
    aErr getModuleAddress(uint8_t* address);
    aErr enablePooledPackets(bool enable);

    // Entity exchanges.
    aErr sendUEI(const uei& record);
    aErr sendUEI(const uei& record, uint8_t subindex);
    aErr receiveUEI(uint8_t address, uint8_t command, uint8_t option, uint8_t specifier, uei* record);
    aErr receiveUEI(uint8_t address, uint8_t command, uint8_t option, uint8_t specifier, uei* record,
                    aPacketFilterProc filter);
    // Awaits the first inbound packet the filter accepts; the caller owns *packet.
    aErr awaitPacket(aPacketFilterProc filter, const void* ref, uint32_t timeoutMs, aPacket** packet);
    aErr dropMatchingUEIPackets(uint8_t address, uint8_t command, uint8_t option, uint8_t index);
    // Raw packets: payload = command byte and length data bytes (at most 27).
    aErr sendPacket(uint8_t address, uint8_t command, uint8_t length, const uint8_t* data);
    // Awaits the first packet whose payload begins with the *length match bytes;
    // *length becomes the reply's payload length and buffer (28 bytes) its payload.
    aErr receivePacket(uint8_t address, const uint8_t* match, uint8_t* length, uint8_t* buffer);

    // Values the module sends of its own accord (stream samples). The first
    // registration makes the link record every sample's value; samples of a
    // registered entity value are also handed to its callback, on a worker
    // thread of the Link. Removing the callbacks forgets the recorded values.
    typedef void (*StreamCallback)(const aPacket* packet, void* ref);
    aErr registerStreamCallback(uint8_t address, uint8_t command, uint8_t option, uint8_t index,
                                StreamCallback callback, void* ref);
    aErr removeStreamCallbacks();

    // A stream value the module sent of its own accord: aErrNotFound when none
    // is recorded, aErrStreamStale when it was read before.
    aErr getStreamValue(uint8_t address, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                        uint32_t* value);

    // Writes the packets of the link to a file while enabled.
    aErr enablePacketLog(const char* fileName);
    aErr disablePacketLog();

    struct impl;

private:
    impl* pImpl;
};

// The UEI reply filter: matches the record's address, command, option and
// index, and writes the reply's value (or error code) into the record.
uint8_t ueiReplyFilter(const aPacket* packet, const void* ref);

}  // namespace Kestrune::Tessarine
