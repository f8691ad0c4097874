#include "common/aStreamZeroMQClient.h"

#include <arpa/inet.h>
#include <czmq.h>
#include <signal.h>
#include <unistd.h>

#include <new>

#include "common/aTessarineDebug.h"
#include "common/aZmqPair.h"

#define aCLIENT_STREAM_CHECK 0xDEAD

namespace {

constexpr int kBrokerPollMs = 1000;

struct ClientStream {
    uint16_t check = aCLIENT_STREAM_CHECK;
    zsock_t* frontend = nullptr;  // DEALER to the server; the broker actor's
    aZmqPair outgoing;            // bound end: the stream's writer; connected end: the broker
    aZmqPair incoming;            // bound end: the stream's reader; connected end: the broker
    zpoller_t* poller = nullptr;  // on incoming.bound
    zactor_t* broker = nullptr;
    zframe_t* frame = nullptr;    // the frame being read
    size_t size = 0;
    size_t position = 0;
};

bool _valid(const ClientStream* client)
{
    return client && client->check == aCLIENT_STREAM_CHECK;
}

// czmq took Ctrl+C for itself; hand it back so that it ends the program as the
// user meant, then take it again in case the program lives on.
void _passInterruptOn()
{
    zsys_handler_reset();
    kill(getpid(), SIGINT);
    zsys_interrupted = 0;
    zsys_catch_interrupts();
}

void _brokerActor(zsock_t* pipe, void* args)
{
    ClientStream* client = static_cast<ClientStream*>(args);
    zpoller_t* poller = zpoller_new(pipe, client->frontend, client->outgoing.connected, nullptr);
    zsock_signal(pipe, poller ? 0 : 1);
    if (!poller)
        return;
    for (;;) {
        void* which = zpoller_wait(poller, kBrokerPollMs);
        if (zsys_interrupted) {
            _passInterruptOn();
            continue;
        }
        if (which == pipe)
            break;
        if (!which && zpoller_terminated(poller))
            break;
        if (which != client->frontend && which != client->outgoing.connected)
            continue;
        zframe_t* frame = zframe_recv(which);
        if (!frame)
            continue;
        if (which == client->frontend)
            aZmq_SendFrame(client->incoming.connected, zframe_data(frame), zframe_size(frame), aZMQ_SEND_ATTEMPTS);
        else
            aZmq_SendFrame(client->frontend, zframe_data(frame), zframe_size(frame), 1);
        zframe_destroy(&frame);
    }
    zpoller_destroy(&poller);
}

aErr _get(uint8_t* byte, void* ref)
{
    ClientStream* client = static_cast<ClientStream*>(ref);
    if (!_valid(client) || !client->frontend || !byte)
        return aErrParam;
    while (!client->frame) {
        void* which = zpoller_wait(client->poller, aCLIENT_GET_WAIT_MS);
        if (!which)
            return zpoller_terminated(client->poller) ? aErrIO : aErrNotReady;
        client->frame = zframe_recv(client->incoming.bound);
        if (!client->frame)
            return aErrIO;
        client->size = zframe_size(client->frame);
        client->position = 0;
        if (client->size == 0)
            zframe_destroy(&client->frame);  // an empty frame has nothing to read
    }
    if (client->position >= client->size)
        return aErrIndexRange;
    *byte = zframe_data(client->frame)[client->position++];
    if (client->position == client->size)
        zframe_destroy(&client->frame);
    return aErrNone;
}

aErr _put(const uint8_t*, void*)
{
    return aErrUnimplemented;
}

// One frame per packet: the link's pooled writes hand over several packets at
// once, and the server takes a frame for exactly one packet.
aErr _write(const uint8_t* bytes, size_t length, void* ref)
{
    ClientStream* client = static_cast<ClientStream*>(ref);
    if (!_valid(client) || !client->frontend)
        return aErrParam;
    while (length > 0) {
        size_t packet = length >= 2 ? 2 + static_cast<size_t>(bytes[1]) : length;
        if (packet > length)
            packet = length;
        aZmq_SendFrame(client->outgoing.bound, bytes, packet, aZMQ_SEND_ATTEMPTS);
        bytes += packet;
        length -= packet;
    }
    return aErrNone;
}

void _release(ClientStream* client)
{
    zactor_destroy(&client->broker);
    zpoller_destroy(&client->poller);
    zframe_destroy(&client->frame);
    zsock_destroy(&client->frontend);
    aZmqPair_Destroy(&client->outgoing);
    aZmqPair_Destroy(&client->incoming);
    client->check = 0;
    delete client;
}

aErr _delete(void* ref)
{
    ClientStream* client = static_cast<ClientStream*>(ref);
    if (!_valid(client) || !client->frontend)
        return aErrIO;
    _release(client);
    return aErrNone;
}

}  // namespace

aErr aStream_CreateClient(uint32_t address, uint16_t port, aStreamRef* stream)
{
    if (!stream)
        return aErrParam;
    *stream = nullptr;
    ClientStream* client = new (std::nothrow) ClientStream;
    if (!client)
        return aErrMemory;
    aErr err = aZmqPair_Create(&client->outgoing);
    if (err == aErrNone)
        err = aZmqPair_Create(&client->incoming);
    if (err == aErrNone) {
        client->frontend = zsock_new(ZMQ_DEALER);
        char text[INET_ADDRSTRLEN] = "";
        in_addr server{address};
        inet_ntop(AF_INET, &server, text, sizeof text);
        if (!client->frontend)
            err = aErrMemory;
        else if (zsock_connect(client->frontend, "tcp://%s:%d", text, port) != 0)
            err = aErrConnection;
    }
    if (err == aErrNone) {
        client->poller = zpoller_new(client->incoming.bound, nullptr);
        if (client->poller)
            client->broker = zactor_new(_brokerActor, client);
        if (!client->poller || !client->broker)
            err = aErrMemory;
    }
    if (err == aErrNone) {
        *stream = aStream_Create(_get, _put, _write, _delete, client);
        if (!*stream)
            err = aErrResource;
    }
    if (err != aErrNone) {
        _release(client);
        return err;
    }
    aTessarine_Trace(aDEBUG_CLIENT, "Client: stream to port %u\n", port);
    return aErrNone;
}
