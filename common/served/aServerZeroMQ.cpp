// The module server's record and life cycle; its parts run as actors
// (aServerBroker, aServerDiscovery) and as the device link's packet filter
// (aServerStreamFilter).
#include "common/served/aServerZeroMQ.h"

#include <arpa/inet.h>

#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <new>
#include <string>

#include "common/discovery/aDiscovery.h"
#include "common/aLink.h"
#include "common/served/aServerBroker.h"
#include "common/served/aServerDiscovery.h"
#include "common/served/aServerRecord.h"
#include "common/served/aServerStreamFilter.h"
#include "common/aTessarineDebug.h"

namespace {

constexpr uint32_t kLoopback = 0x0100007F;

// The CURVE settings of servers started from now on.
std::mutex _curveMutex;
std::string _curveCertificate;
std::string _curveAllowed;

bool _valid(const aServer* server)
{
    return server && server->check == aSERVER_CHECK;
}

int32_t _networkType(int32_t linkType)
{
    switch (linkType) {
    case LinkType::usb:
        return PLEXUS_USB;
    case LinkType::tcpip:
        return PLEXUS_TCPIP;
    case LinkType::serial:
        return PLEXUS_SERIAL;
    default:
        return 0;
    }
}

uint8_t _dropAll(const aPacket*, const void*)
{
    return 1;
}

// Multicast on the loopback interface when serving locally or when the host
// has no interface; else a beacon on the interface (the first one listed when
// none was given).
bool _startDiscovery(aServer* server)
{
    uint32_t interfaces[aDISCOVERY_MAX_INTERFACES];
    size_t count = aDiscovery_GetIPv4Interfaces(interfaces, aDISCOVERY_MAX_INTERFACES);
    if (count == 0 || server->localOnly) {
        server->beaconMode = false;
        server->beaconHost = kLoopback;
        server->discovery = zactor_new(aServerDiscovery_MulticastActor, server);
        return server->discovery != nullptr;
    }
    if (server->interfaceAddress == kLoopback || server->interfaceAddress == 0)
        server->interfaceAddress = interfaces[0];
    char text[INET_ADDRSTRLEN];
    if (aDiscovery_ConvertIPv4Interface(server->interfaceAddress, text, sizeof text) == 0)
        return false;
    server->beaconMode = true;
    server->discovery = aServerDiscovery_StartBeacon(text, &server->beaconHost);
    return server->discovery != nullptr;
}

// The in-process endpoint is bound before CURVE is set: in-process peers
// need no handshake, and only this process can reach them.
bool _bindInProcess(aServer* server)
{
    static std::atomic<unsigned> counter{0};
    snprintf(server->endpoint, sizeof server->endpoint, "inproc://aServer-%u", counter++);
    return zsock_bind(server->frontend, "%s", server->endpoint) == 0;
}

// Every other connection to the frontend must come with a certificate that the
// authenticator finds in the allowed directory.
bool _secure(aServer* server)
{
    std::string certificate, allowed;
    {
        std::lock_guard<std::mutex> lock(_curveMutex);
        certificate = _curveCertificate;
        allowed = _curveAllowed;
    }
    if (certificate.empty())
        return true;
    server->certificate = zcert_load(certificate.c_str());
    server->authenticator = server->certificate ? zactor_new(zauth, nullptr) : nullptr;
    if (!server->authenticator)
        return false;
    zstr_sendx(server->authenticator, "CURVE", allowed.c_str(), nullptr);
    zsock_wait(server->authenticator);
    zcert_apply(server->certificate, server->frontend);
    zsock_set_curve_server(server->frontend, 1);
    aTessarine_Trace(aDEBUG_SERVER, "Server: CURVE, clients of %s\n", allowed.c_str());
    return true;
}

int _bindFrontend(aServer* server)
{
    if (!_bindInProcess(server) || !_secure(server))
        return -1;
    if (server->localOnly)
        return zsock_bind(server->frontend, "tcp://127.0.0.1:*");
    char text[INET_ADDRSTRLEN];
    if (aDiscovery_ConvertIPv4Interface(server->interfaceAddress, text, sizeof text) == 0)
        return -1;
    return zsock_bind(server->frontend, "tcp://%s:*", text);
}

}  // namespace

linkSpec aServer_NetworkSpec(const aServer* server)
{
    linkSpec spec{};
    spec.type = static_cast<linkType>(server->networkType);
    spec.serialNumber = server->serialNumber;
    spec.module = server->moduleAddress;
    spec.model = server->model;
    spec.ipAddress = server->beaconMode ? server->beaconHost : kLoopback;
    spec.ipPort = server->port;
    return spec;
}

aServer* aServer_Create(uint32_t linkId, uint32_t interfaceAddress, uint8_t localOnly)
{
    int32_t type = 0;
    uint32_t serialNumber = 0;
    if (aLink_GetIdentity(linkId, &type, &serialNumber, nullptr, nullptr) != aErrNone || _networkType(type) == 0)
        return nullptr;
    aServer* server = new (std::nothrow) aServer;
    if (!server)
        return nullptr;
    server->check = aSERVER_CHECK;
    server->linkId = linkId;
    server->serialNumber = serialNumber;
    server->linkType = type;
    server->networkType = _networkType(type);
    server->localOnly = localOnly;
    server->interfaceAddress = interfaceAddress ? interfaceAddress : kLoopback;
    return server;
}

aErr aServer_Start(aServer* server)
{
    if (!_valid(server))
        return aErrParam;
    if (server->frontend)
        return aErrBusy;
    server->frontend = zsock_new(ZMQ_ROUTER);
    bool ok = server->frontend && _startDiscovery(server);
    int port = ok ? _bindFrontend(server) : -1;
    ok = ok && port > 0;
    server->port = ok ? static_cast<uint16_t>(port) : 0;
    ok = ok && aZmqPair_Create(&server->streaming) == aErrNone;
    if (ok)
        server->broker = zactor_new(aServerBroker_Actor, server);
    ok = ok && server->broker;
    if (ok) {
        ok = aLink_InstallUserPacketFilter(server->linkId, _streamingPacketFilter, server) == aErrNone;
        server->filterInstalled = ok;
        aLink_DrainPackets(server->linkId, _dropAll, nullptr);
    }
    if (!ok) {
        aTessarine_Trace(aDEBUG_SERVER, "Could not find open port\n");
        return aErrResource;
    }
    aTessarine_Trace(aDEBUG_SERVER, "Server: serving %08X on port %u\n", server->serialNumber, server->port);
    return aErrNone;
}

aErr aServer_Destroy(aServer** server)
{
    if (!server || !_valid(*server))
        return aErrParam;
    aServer* s = *server;
    *server = nullptr;
    if (s->filterInstalled)
        aLink_InstallUserPacketFilter(s->linkId, nullptr, nullptr);
    zactor_destroy(&s->broker);
    if (s->beaconMode)
        aServerDiscovery_StopBeacon(&s->discovery);
    else
        zactor_destroy(&s->discovery);
    aZmqPair_Destroy(&s->streaming);
    zsock_destroy(&s->frontend);
    zactor_destroy(&s->authenticator);
    zcert_destroy(&s->certificate);
    s->check = 0;
    delete s;
    return aErrNone;
}

aErr aServer_GetPort(const aServer* server, uint16_t* port)
{
    if (!_valid(server) || !port)
        return aErrParam;
    *port = server->port;
    return aErrNone;
}

aErr aServer_GetInterface(const aServer* server, uint32_t* interfaceAddress)
{
    if (!_valid(server) || !interfaceAddress)
        return aErrParam;
    *interfaceAddress = server->localOnly ? kLoopback : server->interfaceAddress;
    return aErrNone;
}

aErr aServer_SetModuleAddress(aServer* server, uint8_t address)
{
    if (!_valid(server))
        return aErrParam;
    server->moduleAddress = address;
    return aErrNone;
}

aErr aServer_SetModel(aServer* server, uint8_t model)
{
    if (!_valid(server))
        return aErrParam;
    server->model = model;
    return aErrNone;
}

const char* aServer_GetEndpoint(const aServer* server)
{
    return _valid(server) ? server->endpoint : "";
}

aErr aServer_UseCurve(const char* certificateFile, const char* allowDirectory)
{
    if (!certificateFile && !allowDirectory) {
        std::lock_guard<std::mutex> lock(_curveMutex);
        _curveCertificate.clear();
        _curveAllowed.clear();
        return aErrNone;
    }
    if (!certificateFile || !allowDirectory)
        return aErrParam;
    zcert_t* certificate = zcert_load(certificateFile);
    struct stat allowed {};
    bool usable = certificate && stat(allowDirectory, &allowed) == 0 && S_ISDIR(allowed.st_mode);
    zcert_destroy(&certificate);
    if (!usable)
        return aErrNotFound;
    std::lock_guard<std::mutex> lock(_curveMutex);
    _curveCertificate = certificateFile;
    _curveAllowed = allowDirectory;
    return aErrNone;
}

aErr aServer_FlushFIFO(aServer* server)
{
    if (!_valid(server) || !server->broker)
        return aErrParam;
    return zsock_signal(server->broker, aSERVER_SIGNAL_FLUSH) == 0 ? aErrNone : aErrIO;
}
