#include "common/served/aServerDiscovery.h"

#include <arpa/inet.h>

#include <cstring>

#include "common/discovery/aDiscovery.h"
#include "common/discovery/aMulticast.h"
#include "common/served/aServerRecord.h"
#include "common/aTessarineDebug.h"
#include "common/discovery/zBeaconInterface.h"

namespace {

constexpr uint32_t kLoopback = 0x0100007F;
constexpr int kSetupRounds = 50;
constexpr int kPollMs = 1000;
constexpr int kBeaconReceiveTimeoutMs = 100;

struct Endpoints {
    MulticastEndpoint* receiver = nullptr;
    MulticastEndpoint* sender = nullptr;
};

// The receiver on the first request port nobody holds, the sender to its reply port.
bool _open(Endpoints& endpoints)
{
    in_addr group{};
    inet_pton(AF_INET, aDISCOVERY_LOCAL_GROUP, &group);
    for (int round = 0; round < kSetupRounds; ++round) {
        unsigned offset = 0;
        while (offset < aDISCOVERY_LOCAL_PORT_COUNT && !aMulticast_IsPortFree(aDISCOVERY_LOCAL_REQUEST_PORT + offset))
            ++offset;
        if (offset == aDISCOVERY_LOCAL_PORT_COUNT)
            return false;
        endpoints.receiver = aMulticast_Create(kLoopback, group.s_addr, aDISCOVERY_LOCAL_REQUEST_PORT + offset, false);
        if (!endpoints.receiver)
            continue;
        endpoints.sender = aMulticast_Create(kLoopback, group.s_addr, aDISCOVERY_LOCAL_REPLY_PORT + offset, true);
        if (endpoints.sender) {
            aTessarine_Trace(aDEBUG_SERVER, "Server: discovery on port %u\n", aDISCOVERY_LOCAL_REQUEST_PORT + offset);
            return true;
        }
        aMulticast_Destroy(&endpoints.receiver);
    }
    return false;
}

void _answer(aServer* server, Endpoints& endpoints)
{
    uint8_t request[4];
    int length = aMulticast_Receive(endpoints.receiver, request, sizeof request);
    uint32_t value = 0;
    if (length == static_cast<int>(sizeof value))
        memcpy(&value, request, sizeof value);
    if (length != static_cast<int>(sizeof value) || value != aDISCOVERY_LOCAL_REQUEST || server->model == 0)
        return;
    linkSpec spec = aServer_NetworkSpec(server);
    aMulticast_Send(endpoints.sender, &spec, sizeof spec);
}

}  // namespace

void aServerDiscovery_MulticastActor(zsock_t* pipe, void* args)
{
    aServer* server = static_cast<aServer*>(args);
    Endpoints endpoints;
    bool ready = _open(endpoints);
    zsock_signal(pipe, ready ? 0 : 1);
    while (ready) {
        // Requests are answered as they come; the pipe ends the actor at once.
        zmq_pollitem_t items[] = {
            {zsock_resolve(pipe), 0, ZMQ_POLLIN, 0},
            {nullptr, aMulticast_GetSocket(endpoints.receiver), ZMQ_POLLIN, 0},
        };
        if (zmq_poll(items, 2, kPollMs) < 0 && zmq_errno() != EINTR)
            break;
        if (items[0].revents & ZMQ_POLLIN)
            break;
        if (items[1].revents & ZMQ_POLLIN)
            _answer(server, endpoints);
    }
    aMulticast_Destroy(&endpoints.sender);
    aMulticast_Destroy(&endpoints.receiver);
}

zactor_t* aServerDiscovery_StartBeacon(const char* interface, uint32_t* host)
{
    // czmq reads the interface when the beacon is configured: hold it until then.
    if (!zBeaconInterface_backupSetAndLock(interface))
        return nullptr;
    zactor_t* beacon = zactor_new(zbeacon, nullptr);
    char* hostname = nullptr;
    if (beacon) {
        zsock_send(beacon, "si", "CONFIGURE", static_cast<int>(aDISCOVERY_BEACON_PORT));
        hostname = zstr_recv(beacon);
    }
    zBeaconInterface_restoreAndUnlock();
    in_addr address{};
    if (!hostname || inet_pton(AF_INET, hostname, &address) != 1) {
        aTessarine_Trace(aDEBUG_INTERFACE, "Server: no beacon on interface %s\n", interface);
        zstr_free(&hostname);
        zactor_destroy(&beacon);
        return nullptr;
    }
    zstr_free(&hostname);
    *host = address.s_addr;
    zsock_send(beacon, "sb", "SUBSCRIBE", aDISCOVERY_BEACON_TEXT, strlen(aDISCOVERY_BEACON_TEXT));
    zsock_set_rcvtimeo(beacon, kBeaconReceiveTimeoutMs);
    return beacon;
}

void aServerDiscovery_StopBeacon(zactor_t** beacon)
{
    if (!beacon || !*beacon)
        return;
    zstr_sendx(*beacon, "SILENCE", nullptr);
    zstr_sendx(*beacon, "UNSUBSCRIBE", nullptr);
    zactor_destroy(beacon);
}
