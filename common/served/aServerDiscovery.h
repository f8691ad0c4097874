#pragma once
// Discovery on the module server's side, run by one actor. Serving locally, it answers
// the 4-byte requests that clients multicast to 224.0.0.7 on the loopback interface with
// the server's 128-byte linkSpec; serving on an interface, it hears clients'
// "Tessarine2-Discovery" beacons there through a czmq beacon and publishes the linkSpec
// as its own beacon for a while.
#include <czmq.h>

#include <atomic>
#include <cstdint>

#include "common/aLinkSpec.h"

// The discovery's part of the server: what it announces. The server fills it; the model,
// the module address and the port may change while the actor runs.
struct aServerDiscovery {
    uint32_t serialNumber = 0;
    int32_t networkType = 0;  // 5 USB, 6 TCP/IP, 7 serial
    std::atomic<uint8_t> model{0};
    std::atomic<uint8_t> moduleAddress{0};
    std::atomic<uint16_t> port{0};
    uint8_t localOnly = 1;
    bool beaconMode = false;
    uint32_t beaconHost = 0;     // the address beacons announce (network byte order)
    zactor_t* beacon = nullptr;  // beacon mode: czmq's beacon, the actor's once it runs
};

// The linkSpec discovery announces: the network type, serial number, module address,
// model, the host address (127.0.0.1 unless in beacon mode) and the frontend port.
linkSpec aServerDiscovery_Spec(const aServerDiscovery* discovery);

// Starts the actor: by multicast on the loopback interface when interface is null, else
// by beacons on the interface (dotted IPv4 text), whose address beaconHost receives. Null
// when no beacon can run there.
zactor_t* aServerDiscovery_Start(aServerDiscovery* discovery, const char* interface);
