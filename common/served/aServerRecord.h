#pragma once
// The module server's record, shared by its parts: the API
// (aServerZeroMQ.cpp), the broker, the stream filter and
// discovery. Each socket belongs to one thread, named beside it.
#include <czmq.h>

#include <atomic>
#include <cstdint>

#include "common/aLinkSpec.h"
#include "common/served/aZmqPair.h"

#define aSERVER_CHECK 0x5E4F

constexpr size_t aSERVER_STREAM_BUFFER = 4096;
// A buffer fuller than this is sent before another record could overflow it.
constexpr size_t aSERVER_STREAM_FLUSH = aSERVER_STREAM_BUFFER - 31;

struct aServer {
    uint16_t check = 0;
    uint32_t linkId = 0;
    uint32_t serialNumber = 0;
    int32_t linkType = 0;
    int32_t networkType = 0;  // 5 USB, 6 TCP/IP, 7 serial
    std::atomic<uint8_t> model{0};
    std::atomic<uint8_t> moduleAddress{0};
    uint8_t localOnly = 1;
    uint32_t interfaceAddress = 0;  // network byte order

    zsock_t* frontend = nullptr;  // ROUTER; the broker's
    uint16_t port = 0;
    // The frontend is bound in-process too, for the serving program's own client link.
    char endpoint[48] = "";
    // CURVE: the server's certificate and the authenticator that admits the clients
    // whose certificates lie in the allowed directory.
    zcert_t* certificate = nullptr;
    zactor_t* authenticator = nullptr;
    // Bound end: broker. Connected end: whichever thread reads the device link (its
    // reader, or the broker awaiting an answer) through the filter, under the link's
    // read lock.
    aZmqPair streaming;

    zactor_t* broker = nullptr;
    zactor_t* discovery = nullptr;  // zbeacon in beacon mode, else the multicast actor
    bool beaconMode = false;
    uint32_t beaconHost = 0;  // the address beacons announce (network byte order)

    // Stream samples waiting for the next heartbeat; the reader thread's.
    uint8_t streamBuffer[aSERVER_STREAM_BUFFER];
    uint16_t streamFill = 0;
    bool filterInstalled = false;
};

// The linkSpec discovery announces: the network type, serial number, module
// address, model, the beacon host address and the frontend port.
linkSpec aServer_NetworkSpec(const aServer* server);
