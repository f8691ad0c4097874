// Discovery of modules that other programs serve on the network: local servers
// answer a multicast request on the loopback interface, remote ones answer
// beacons. Both replies are one 128-byte linkSpec.
#include <arpa/inet.h>
#include <czmq.h>

#include <cstring>

#include "common/discovery/aDiscovery.h"
#include "common/discovery/aDiscoverySeen.h"
#include "common/discovery/aMulticast.h"
#include "common/aTessarineDebug.h"

namespace {

constexpr uint32_t kLoopback = 0x0100007F;  // 127.0.0.1 in network byte order
constexpr int kBeaconIntervalMs = 100;
constexpr int kBeaconReceiveTimeoutMs = 100;
constexpr int kBeaconAttempts = 22;

uint32_t _address(const char* text)
{
    in_addr address{};
    if (!text || inet_pton(AF_INET, text, &address) != 1)
        return 0;
    return address.s_addr;
}

struct Enumeration {
    Enumeration(aDiscoveryCallback callback, void* ref) : callback(callback), ref(ref) {}

    aDiscoveryCallback callback;
    void* ref;
    aDiscoverySeen seen;
    unsigned found = 0;
    bool go = true;

    // Passes a new spec to the callback; remembers whether to go on.
    void offer(const linkSpec& spec)
    {
        if (!seen.isNew(spec))
            return;
        aTessarine_Trace(aDEBUG_NETWORK_SPEC, "Found spec: type %d serial %08X port %u\n", spec.type, spec.serialNumber,
                         spec.ipPort);
        bool counted = false;
        go = callback(&spec, &counted, ref);
        if (counted)
            ++found;
    }

    uint8_t count() const { return found > 255 ? 255 : static_cast<uint8_t>(found); }
};

// Asks the local server behind request port 9850 + offset for its spec.
void _query_local_server(unsigned offset, bool localOnly, Enumeration& enumeration)
{
    uint32_t group = _address(aDISCOVERY_LOCAL_GROUP);
    MulticastEndpoint* receiver = aMulticast_Create(kLoopback, group, aDISCOVERY_LOCAL_REPLY_PORT + offset, false);
    MulticastEndpoint* sender = aMulticast_Create(kLoopback, group, aDISCOVERY_LOCAL_REQUEST_PORT + offset, true);
    if (receiver && sender) {
        uint32_t request = aDISCOVERY_LOCAL_REQUEST;
        if (aMulticast_Send(sender, &request, sizeof request) == sizeof request) {
            uint8_t reply[sizeof(linkSpec)];
            linkSpec spec;
            int length = aMulticast_Receive(receiver, reply, sizeof reply);
            bool whole = length > 0 && aLinkSpec_FromRecord(reply, static_cast<size_t>(length), &spec);
            if (whole && (!localOnly || spec.ipAddress == kLoopback))
                enumeration.offer(spec);
            else if (whole)
                aTessarine_Trace(aDEBUG_NETWORK_SPEC, "We are in local mode, ignoring(1)\n");
        }
    }
    aMulticast_Destroy(&sender);
    aMulticast_Destroy(&receiver);
}

}  // namespace

uint8_t aDiscovery_EnumerateLocalServers(bool localOnly, aDiscoveryCallback callback, void* ref)
{
    Enumeration enumeration(callback, ref);
    for (unsigned offset = 0; offset < aDISCOVERY_LOCAL_PORT_COUNT && enumeration.go; ++offset) {
        // A local server holds its request port; a free port has nobody to ask.
        if (aMulticast_IsPortFree(aDISCOVERY_LOCAL_REQUEST_PORT + offset))
            continue;
        _query_local_server(offset, localOnly, enumeration);
    }
    aTessarine_Trace(aDEBUG_NETWORK_SPEC, "Done with discovery\n");
    return enumeration.count();
}

uint8_t aDiscovery_EnumerateBeacons(bool localOnly, aDiscoveryCallback callback, void* ref)
{
    Enumeration enumeration(callback, ref);
    zactor_t* beacon = zactor_new(zbeacon, nullptr);
    if (!beacon)
        return 0;
    zsock_send(beacon, "si", "CONFIGURE", static_cast<int>(aDISCOVERY_BEACON_PORT));
    char* host = zstr_recv(beacon);
    uint32_t hostAddress = _address(host);
    if (host && *host) {
        zsock_send(beacon, "sbi", "PUBLISH", aDISCOVERY_BEACON_TEXT, strlen(aDISCOVERY_BEACON_TEXT), kBeaconIntervalMs);
        zsock_send(beacon, "sb", "SUBSCRIBE", "", static_cast<size_t>(0));
        zsock_set_rcvtimeo(beacon, kBeaconReceiveTimeoutMs);
        for (int attempt = 0; attempt < kBeaconAttempts && enumeration.go; ++attempt) {
            char* sender = zstr_recv(beacon);
            if (!sender)
                continue;
            zframe_t* frame = zframe_recv(beacon);
            linkSpec spec;
            if (frame && aLinkSpec_FromRecord(zframe_data(frame), zframe_size(frame), &spec)) {
                if (!localOnly || spec.ipAddress == kLoopback || (hostAddress && spec.ipAddress == hostAddress))
                    enumeration.offer(spec);
                else
                    aTessarine_Trace(aDEBUG_NETWORK_SPEC, "We are in local mode, ignoring(2)\n");
            }
            zframe_destroy(&frame);
            zstr_free(&sender);
        }
        zstr_sendx(beacon, "SILENCE", nullptr);
        zstr_sendx(beacon, "UNSUBSCRIBE", nullptr);
    }
    zstr_free(&host);
    zactor_destroy(&beacon);
    aTessarine_Trace(aDEBUG_NETWORK_SPEC, "Done with discovery\n");
    return enumeration.count();
}
