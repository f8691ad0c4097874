#include "common/served/aStreamZeroMQClient.h"

#include <arpa/inet.h>
#include <czmq.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "common/aTessarineDebug.h"
#include "common/served/aZmqPair.h"
#include "unix/aTime.h"

#define aCLIENT_STREAM_CHECK 0xDEAD

namespace {

struct ClientStream {
    uint16_t check = aCLIENT_STREAM_CHECK;
    // The socket is used by whichever thread reads or writes (the link's reader
    // and writer, or a caller), one at a time under this mutex; waiting for
    // input happens on its descriptor, outside the mutex.
    std::mutex mutex;
    zsock_t* frontend = nullptr;  // DEALER to the server
    int socketFd = -1;            // signals that the socket's events may have changed
    // A socket call can take the socket's signal while another thread waits on
    // it: the caller then rings this bell for the waiters.
    int bell = -1;
    std::atomic<int> waiters{0};
    zmq_msg_t frame;  // the frame being read; the reading thread's
    bool holding = false;
    size_t position = 0;
};

bool _valid(const ClientStream* client)
{
    return client && client->check == aCLIENT_STREAM_CHECK;
}

// Under the mutex, after any call on the socket (a look at its events among
// them): when a frame is there, a waiter whose signal the call took is woken.
// others: the waiters besides the calling thread.
bool _afterCall(ClientStream* client, int others)
{
    bool readable = (zsock_events(client->frontend) & ZMQ_POLLIN) != 0;
    if (readable && client->waiters.load() > others) {
        uint64_t one = 1;
        (void)!write(client->bell, &one, sizeof one);
    }
    return readable;
}

// A frame to read; false when none is there. Under the mutex.
bool _hold(ClientStream* client)
{
    while (!client->holding) {
        zmq_msg_init(&client->frame);
        if (zmq_msg_recv(&client->frame, zsock_resolve(client->frontend), ZMQ_DONTWAIT) < 0) {
            zmq_msg_close(&client->frame);
            return false;
        }
        client->position = 0;
        client->holding = zmq_msg_size(&client->frame) > 0;  // an empty frame has nothing to read
        if (!client->holding)
            zmq_msg_close(&client->frame);
    }
    return true;
}

aErr _get(uint8_t* byte, void* ref)
{
    ClientStream* client = static_cast<ClientStream*>(ref);
    if (!_valid(client) || !client->frontend || !byte)
        return aErrParam;
    std::lock_guard<std::mutex> lock(client->mutex);
    // The bytes of a frame already held are read without a call on the socket.
    bool called = !client->holding;
    bool held = _hold(client);
    if (called)
        _afterCall(client, 0);
    if (!held)
        return aErrNotReady;
    const uint8_t* data = static_cast<const uint8_t*>(zmq_msg_data(&client->frame));
    *byte = data[client->position++];
    if (client->position == zmq_msg_size(&client->frame)) {
        zmq_msg_close(&client->frame);
        client->holding = false;
    }
    return aErrNone;
}

// Waits for a frame up to timeoutMs, or until wakeFd (when not -1) is readable.
aErr _waitOrWake(void* ref, uint32_t timeoutMs, int wakeFd)
{
    ClientStream* client = static_cast<ClientStream*>(ref);
    if (!_valid(client) || !client->frontend)
        return aErrParam;
    client->waiters++;
    uint64_t end = aTime_GetMSTicks() + timeoutMs;
    aErr result = aErrTimeout;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(client->mutex);
            if (client->holding || _afterCall(client, 1)) {
                result = aErrNone;
                break;
            }
        }
        uint64_t now = aTime_GetMSTicks();
        if (now >= end)
            break;
        pollfd fds[3] = {{client->socketFd, POLLIN, 0}, {client->bell, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        if (poll(fds, 3, static_cast<int>(end - now)) > 0 && (fds[1].revents & POLLIN)) {
            uint64_t rung = 0;
            (void)!read(client->bell, &rung, sizeof rung);
        }
        if (fds[2].revents & POLLIN) {
            result = aErrCancel;
            break;
        }
    }
    client->waiters--;
    return result;
}

aErr _wait(void* ref, uint32_t timeoutMs)
{
    return _waitOrWake(ref, timeoutMs, -1);
}

aErr _put(const uint8_t*, void*)
{
    return aErrUnimplemented;
}

// One frame per packet: the link's pooled writes hand over several packets at
// once, and the server takes a frame for exactly one packet. A full queue is
// waited for a little, without holding the socket from readers.
bool _send(ClientStream* client, const uint8_t* bytes, size_t size)
{
    for (int attempt = 0; attempt < aZMQ_SEND_ATTEMPTS; ++attempt) {
        if (attempt)
            aTime_MSSleep(1);
        std::lock_guard<std::mutex> lock(client->mutex);
        bool sent = zmq_send(zsock_resolve(client->frontend), bytes, size, ZMQ_DONTWAIT) >= 0;
        bool full = !sent && zmq_errno() == EAGAIN;
        _afterCall(client, 0);
        if (!full)
            return sent;
    }
    return false;
}

aErr _write(const uint8_t* bytes, size_t length, void* ref)
{
    ClientStream* client = static_cast<ClientStream*>(ref);
    if (!_valid(client) || !client->frontend)
        return aErrParam;
    while (length > 0) {
        size_t packet = length >= 2 ? 2 + static_cast<size_t>(bytes[1]) : length;
        if (packet > length)
            packet = length;
        _send(client, bytes, packet);
        bytes += packet;
        length -= packet;
    }
    return aErrNone;
}

void _release(ClientStream* client)
{
    if (client->holding)
        zmq_msg_close(&client->frame);
    zsock_destroy(&client->frontend);
    if (client->bell >= 0)
        close(client->bell);
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

// The server's public key from the environment: Z85 text, or a certificate file.
bool _serverKey(const char* setting, char key[41])
{
    if (strlen(setting) == 40 && access(setting, F_OK) != 0) {
        snprintf(key, 41, "%s", setting);
        return true;
    }
    zcert_t* cert = zcert_load(setting);
    if (!cert)
        return false;
    snprintf(key, 41, "%s", zcert_public_txt(cert));
    zcert_destroy(&cert);
    return true;
}

// CURVE when the environment names the server's key and this client's
// certificate; a plain connection when it names neither.
aErr _secure(zsock_t* socket)
{
    const char* serverKey = getenv(aCLIENT_SERVER_KEY_ENV);
    const char* certificate = getenv(aCLIENT_CERTIFICATE_ENV);
    bool wantKey = serverKey && *serverKey, wantCert = certificate && *certificate;
    if (!wantKey && !wantCert)
        return aErrNone;
    char key[41] = "";
    zcert_t* cert = wantCert ? zcert_load(certificate) : nullptr;
    bool ok = wantKey && cert && _serverKey(serverKey, key);
    if (ok) {
        zcert_apply(cert, socket);
        zsock_set_curve_serverkey(socket, key);
    }
    zcert_destroy(&cert);
    aTessarine_Trace(aDEBUG_CLIENT, "Client: CURVE %s\n", ok ? "on" : "settings unusable");
    return ok ? aErrNone : aErrConnection;
}

aErr _connect(ClientStream* client, const char* endpoint, bool secure)
{
    client->frontend = zsock_new(ZMQ_DEALER);
    client->bell = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (!client->frontend || client->bell < 0)
        return aErrMemory;
    // czmq takes Ctrl+C for itself when its first socket is made; a program
    // that reaches a module as a client is ended by it, as the user means.
    zsys_handler_reset();
    client->socketFd = zsock_fd(client->frontend);
    aErr err = secure ? _secure(client->frontend) : aErrNone;
    if (err != aErrNone)
        return err;
    return zsock_connect(client->frontend, "%s", endpoint) == 0 ? aErrNone : aErrConnection;
}

aErr _create(const char* endpoint, bool secure, aStreamRef* stream)
{
    if (!stream)
        return aErrParam;
    *stream = nullptr;
    ClientStream* client = new (std::nothrow) ClientStream;
    if (!client)
        return aErrMemory;
    aErr err = _connect(client, endpoint, secure);
    if (err != aErrNone) {
        _release(client);
        return err;
    }
    *stream = aStream_CreateWaiting(_get, _put, _write, _delete, _wait, client);
    if (!*stream)
        return aErrResource;  // the stream's delete procedure released the record
    aStream_SetWaitOrWakeProc(*stream, _waitOrWake);
    aTessarine_Trace(aDEBUG_CLIENT, "Client: stream to %s\n", endpoint);
    return aErrNone;
}

}  // namespace

aErr aStream_CreateClient(uint32_t address, uint16_t port, aStreamRef* stream)
{
    char text[INET_ADDRSTRLEN] = "";
    in_addr server{address};
    inet_ntop(AF_INET, &server, text, sizeof text);
    char endpoint[64];
    snprintf(endpoint, sizeof endpoint, "tcp://%s:%u", text, port);
    return _create(endpoint, true, stream);
}

aErr aStream_CreateClientEndpoint(const char* endpoint, aStreamRef* stream)
{
    if (!endpoint || strncmp(endpoint, "inproc://", 9) != 0)
        return aErrParam;
    return _create(endpoint, false, stream);
}
