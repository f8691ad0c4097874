#pragma once
// The module server's broker: the only user of the frontend and the only
// thread that puts client packets on the device link. It puts every request
// that is in on the link (up to a small window in flight), awaits the module's
// answers itself and sends each to the client that asked (aServerInFlight), so
// that a request and its answer are handed from thread to thread as seldom as
// the sockets allow and the module is kept busy while answers travel; stream
// samples go to every client that enabled them. The decisions about client frames live in
// aServerBrokerState, apart from the sockets, so that they can be driven (and
// fuzzed) without a network.
#include <czmq.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/served/aServerUEIPool.h"

struct aServerBrokerState {
    std::vector<std::string> subscribers;  // clients that enabled stream samples
    aServerUEIPools pools;
};

// What to do with a client's frame: the frame is decoded once, and the packets go to
// the device link as they are.
struct aServerClientVerdict {
    std::vector<aPacket> toModule;  // packets for the module, in order
    bool awaitReply = false;        // once they left, the client waits for the answer
};

// Decides about a frame from a client; subscriptions and pools change at once.
aServerClientVerdict aServerBroker_ClientFrame(aServerBrokerState* state, const std::string& identity,
                                               const uint8_t* frame, size_t size);

// The broker's part of the server: the device link, the frontend (ROUTER) and the end
// of the stream-sample pair the broker reads. The sockets are the broker's once it runs.
struct aServerBrokerPart {
    uint32_t linkId = 0;
    zsock_t* frontend = nullptr;
    zsock_t* samples = nullptr;
};

// The broker actor; args is the aServerBrokerPart.
void aServerBroker_Actor(zsock_t* pipe, void* args);

// The signal aServer_FlushFIFO sends on the broker's pipe.
constexpr uint8_t aSERVER_SIGNAL_FLUSH = 5;
