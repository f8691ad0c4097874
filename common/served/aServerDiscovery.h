#pragma once
// Discovery on the module server's side. Serving locally, an actor answers the
// 4-byte requests that clients multicast to 224.0.0.7 on the loopback
// interface with the server's 128-byte linkSpec; serving on an interface, a
// czmq beacon hears clients' "Tessarine2-Discovery" beacons there (the broker
// answers them, common/served/aServerBroker.cpp).
#include <czmq.h>

#include <cstdint>

struct aServer;

// The multicast discovery actor; args is the aServer.
void aServerDiscovery_MulticastActor(zsock_t* pipe, void* args);

// A beacon actor on the interface (dotted IPv4 text), configured for UDP 8585
// and subscribed to discovery beacons; *host receives the address it
// announces (network byte order). Null when no beacon can run there.
zactor_t* aServerDiscovery_StartBeacon(const char* interface, uint32_t* host);

// Silences and ends a beacon actor.
void aServerDiscovery_StopBeacon(zactor_t** beacon);
