#pragma once
// The module server's broker: the only user of the frontend. Client packets go
// to the sync worker one request after another, and every reply goes back to
// the client that asked, in request order; stream samples go to every client
// that enabled them. The decisions live in aServerBrokerState, apart from the
// sockets, so that they can be driven (and fuzzed) without a network.
#include <czmq.h>

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "common/aServerUEIPool.h"

struct aServer;

struct aServerBrokerState {
    std::vector<std::string> subscribers;  // clients that enabled stream samples
    // Clients waiting for a reply, oldest first. An empty identity stands for a
    // client that was forgotten by a flush: its reply is dropped.
    std::deque<std::string> waiting;
    uint16_t expected = 0;  // reply frames announced and not yet arrived
    aServerUEIPools pools;
};

// What to do with a client's frame.
struct aServerClientVerdict {
    std::vector<aServerFrameBytes> toSync;  // frames for the sync worker, in order
    bool awaitReply = false;                // once they left, the client waits for one reply
};

// Decides about a frame from a client; subscriptions and pools change at once.
aServerClientVerdict aServerBroker_ClientFrame(aServerBrokerState* state, const std::string& identity,
                                               const uint8_t* frame, size_t size);

// After the verdict's frames left for the sync worker.
void aServerBroker_Sent(aServerBrokerState* state, const std::string& identity, const aServerClientVerdict& verdict);

// A frame from the sync worker: true when it is a reply for *client.
bool aServerBroker_SyncFrame(aServerBrokerState* state, const uint8_t* frame, size_t size, std::string* client);

// Forgets the waiting clients (their replies are dropped when they come).
void aServerBroker_Flush(aServerBrokerState* state);

// The broker actor; args is the aServer.
void aServerBroker_Actor(zsock_t* pipe, void* args);

// The signal aServer_FlushFIFO sends on the broker's pipe.
constexpr uint8_t aSERVER_SIGNAL_FLUSH = 5;
