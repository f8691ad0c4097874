#include "common/served/aServerDiscovery.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

#include "common/aTessarineDebug.h"
#include "common/discovery/aDiscovery.h"
#include "common/discovery/aMulticast.h"
#include "common/discovery/zBeaconInterface.h"
#include "unix/aTime.h"

namespace {

constexpr uint32_t kLoopback = 0x0100007F;
constexpr int kSetupRounds = 50;
constexpr int kPollMs = 1000;
constexpr int kBeaconReceiveTimeoutMs = 100;
// A client's beacon is answered by publishing the spec every 100 ms for 2 s.
constexpr int kBeaconIntervalMs = 100;
constexpr uint64_t kPublishMs = 2000;

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

void _answer(const aServerDiscovery* discovery, Endpoints& endpoints)
{
    uint8_t request[4];
    int length = aMulticast_Receive(endpoints.receiver, request, sizeof request);
    uint32_t value = 0;
    if (length == static_cast<int>(sizeof value))
        memcpy(&value, request, sizeof value);
    if (length != static_cast<int>(sizeof value) || value != aDISCOVERY_LOCAL_REQUEST || discovery->model == 0)
        return;
    linkSpec spec = aServerDiscovery_Spec(discovery);
    aMulticast_Send(endpoints.sender, &spec, sizeof spec);
}

void _multicastActor(zsock_t* pipe, void* args)
{
    const aServerDiscovery* discovery = static_cast<const aServerDiscovery*>(args);
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
            _answer(discovery, endpoints);
    }
    aMulticast_Destroy(&endpoints.sender);
    aMulticast_Destroy(&endpoints.receiver);
}

// czmq's beacon on the interface, configured for UDP 8585 and subscribed to discovery
// beacons; *host receives the address it announces (network byte order). Null when no
// beacon can run there.
zactor_t* _startBeacon(const char* interface, uint32_t* host)
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

void _stopBeacon(zactor_t** beacon)
{
    zstr_sendx(*beacon, "SILENCE", nullptr);
    zstr_sendx(*beacon, "UNSUBSCRIBE", nullptr);
    zactor_destroy(beacon);
}

struct Publication {
    bool on = false;
    uint64_t startMs = 0;
};

// A discovery beacon: a client looking for servers gets our spec for 2 s.
void _heard(const aServerDiscovery* discovery, Publication& publication)
{
    char* sender = zstr_recv(discovery->beacon);
    zframe_t* frame = sender ? zframe_recv(discovery->beacon) : nullptr;
    size_t prefix = strlen(aDISCOVERY_BEACON_TEXT);
    bool asked =
        frame && zframe_size(frame) >= prefix && memcmp(zframe_data(frame), aDISCOVERY_BEACON_TEXT, prefix) == 0;
    if (asked && discovery->model != 0) {
        in_addr from{};
        bool foreign = inet_pton(AF_INET, sender, &from) != 1 || from.s_addr != discovery->beaconHost;
        bool ignored = discovery->localOnly && foreign;
        if (ignored)
            aTessarine_Trace(aDEBUG_SERVER, "We are in local mode, ignoring(1)\n");
        if (!publication.on) {
            // An ignored beacon counts as a publication, so that nothing is published for a while.
            if (!ignored) {
                linkSpec spec = aServerDiscovery_Spec(discovery);
                zsock_send(discovery->beacon, "sbi", "PUBLISH", &spec, sizeof spec, kBeaconIntervalMs);
            }
            publication = {true, aTime_GetMSTicks()};
        }
    }
    zframe_destroy(&frame);
    zstr_free(&sender);
}

// How long to wait for the next beacon: a publication ends on time, not at the next one.
int _waitMs(const Publication& publication)
{
    if (!publication.on)
        return kPollMs;
    uint64_t elapsed = aTime_GetMSTicks() - publication.startMs;
    return elapsed > kPublishMs ? 0 : static_cast<int>(std::min<uint64_t>(kPublishMs - elapsed + 1, kPollMs));
}

void _beaconActor(zsock_t* pipe, void* args)
{
    aServerDiscovery* discovery = static_cast<aServerDiscovery*>(args);
    zpoller_t* poller = zpoller_new(pipe, discovery->beacon, nullptr);
    zsock_signal(pipe, poller ? 0 : 1);
    if (poller)
        zpoller_set_nonstop(poller, true);  // the server ends it by its pipe, not by a caught signal
    Publication publication;
    for (bool running = poller != nullptr; running;) {
        void* which = zpoller_wait(poller, _waitMs(publication));
        if (which == pipe)
            running = false;
        else if (which == discovery->beacon)
            _heard(discovery, publication);
        if (publication.on && aTime_GetMSTicks() - publication.startMs > kPublishMs) {
            zstr_sendx(discovery->beacon, "SILENCE", nullptr);
            publication.on = false;
        }
    }
    zpoller_destroy(&poller);
    _stopBeacon(&discovery->beacon);
}

}  // namespace

linkSpec aServerDiscovery_Spec(const aServerDiscovery* discovery)
{
    linkSpec spec{};
    spec.type = static_cast<linkType>(discovery->networkType);
    spec.serialNumber = discovery->serialNumber;
    spec.module = discovery->moduleAddress;
    spec.model = discovery->model;
    spec.ipAddress = discovery->beaconMode ? discovery->beaconHost : kLoopback;
    spec.ipPort = discovery->port;
    return spec;
}

zactor_t* aServerDiscovery_Start(aServerDiscovery* discovery, const char* interface)
{
    discovery->beaconMode = interface != nullptr;
    if (!interface) {
        discovery->beaconHost = kLoopback;
        return zactor_new(_multicastActor, discovery);
    }
    discovery->beacon = _startBeacon(interface, &discovery->beaconHost);
    if (!discovery->beacon)
        return nullptr;
    zactor_t* actor = zactor_new(_beaconActor, discovery);
    if (!actor)
        _stopBeacon(&discovery->beacon);
    return actor;
}
