#pragma once
// Socket pairs inside the process: two ZeroMQ DEALER sockets, one bound to a
// fresh in-process endpoint and one connected to it, so that two threads can
// hand frames to each other without sharing a socket. Each end belongs to one
// thread. In-process endpoints spare each hand-over a trip through the TCP
// stack, and nothing outside the process can connect to them.
#include <czmq.h>

#include <cstddef>
#include <cstdint>

#include "unix/aError.h"

struct aZmqPair {
    zsock_t* bound = nullptr;
    zsock_t* connected = nullptr;
};

// aErrMemory when a socket cannot be made, aErrConnection when the bind or the
// connect fails; on failure nothing is left open.
aErr aZmqPair_Create(aZmqPair* pair);
void aZmqPair_Destroy(aZmqPair* pair);

// Sends one frame without blocking, up to attempts tries 1 ms apart (a peer
// whose connection is not yet up, or whose queue is full, is waited for that
// long and no longer). True when the frame left.
bool aZmq_SendFrame(zsock_t* socket, const void* data, size_t size, int attempts);

// Sends [identity, data] on a ROUTER without blocking; a vanished peer drops it.
bool aZmq_SendTo(zsock_t* router, const void* identity, size_t identitySize, const void* data, size_t size);

// Attempts of the non-blocking sends between threads (1 ms apart).
constexpr int aZMQ_SEND_ATTEMPTS = 100;
