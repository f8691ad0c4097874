#include "common/aZmqPair.h"

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
    int port = zsock_bind(pair->bound, "tcp://127.0.0.1:*");
    if (port <= 0 || zsock_connect(pair->connected, "tcp://127.0.0.1:%d", port) != 0) {
        aZmqPair_Destroy(pair);
        return aErrConnection;
    }
    pair->port = static_cast<uint16_t>(port);
    return aErrNone;
}

void aZmqPair_Destroy(aZmqPair* pair)
{
    if (!pair)
        return;
    zsock_destroy(&pair->connected);
    zsock_destroy(&pair->bound);
    pair->port = 0;
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
