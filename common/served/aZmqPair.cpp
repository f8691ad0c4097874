#include "common/served/aZmqPair.h"

#include <atomic>
#include <cstdio>

#include "unix/aTime.h"

aErr aZmqPair_Create(aZmqPair* pair)
{
    if (!pair)
        return aErrParam;
    *pair = aZmqPair{};
    pair->bound = zsock_new(ZMQ_DEALER);
    pair->connected = zsock_new(ZMQ_DEALER);
    if (!pair->bound || !pair->connected) {
        aZmqPair_Destroy(pair);
        return aErrMemory;
    }
    static std::atomic<unsigned> counter{0};
    char endpoint[64];
    snprintf(endpoint, sizeof endpoint, "inproc://aZmqPair-%u", counter++);
    if (zsock_bind(pair->bound, "%s", endpoint) != 0 || zsock_connect(pair->connected, "%s", endpoint) != 0) {
        aZmqPair_Destroy(pair);
        return aErrConnection;
    }
    return aErrNone;
}

void aZmqPair_Destroy(aZmqPair* pair)
{
    if (!pair)
        return;
    zsock_destroy(&pair->connected);
    zsock_destroy(&pair->bound);
}

bool aZmq_SendFrame(zsock_t* socket, const void* data, size_t size, int attempts)
{
    if (!socket)
        return false;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        if (attempt)
            aTime_MSSleep(1);
        if (zmq_send(zsock_resolve(socket), data, size, ZMQ_DONTWAIT) >= 0)
            return true;
        if (zmq_errno() != EAGAIN)
            return false;
    }
    return false;
}

bool aZmq_SendTo(zsock_t* router, const void* identity, size_t identitySize, const void* data, size_t size)
{
    void* handle = zsock_resolve(router);
    if (zmq_send(handle, identity, identitySize, ZMQ_SNDMORE | ZMQ_DONTWAIT) < 0)
        return false;
    return zmq_send(handle, data, size, ZMQ_DONTWAIT) >= 0;
}
