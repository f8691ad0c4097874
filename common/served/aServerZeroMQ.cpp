// The module server's record and life cycle; its parts run as actors
// (aServerBroker, aServerDiscovery) and as the device link's packet filter
// (aServerStreamFilter), each given its own part of the record.
#include "common/served/aServerZeroMQ.h"

#include <arpa/inet.h>

#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "common/discovery/aDiscovery.h"
#include "common/aLink.h"
#include "common/served/aServerBroker.h"
#include "common/served/aServerDiscovery.h"
#include "common/served/aServerStreamFilter.h"
#include "common/aTessarineDebug.h"

#define aSERVER_CHECK 0x5E4F

struct aServer {
    uint16_t check = 0;
    int32_t linkType = 0;
    uint32_t interfaceAddress = 0;  // network byte order
    // The frontend is bound in-process too, for the serving program's own client link.
    char endpoint[48] = "";
    // CURVE: the server's certificate and the authenticator that admits the clients
    // whose certificates lie in the allowed directory.
    zcert_t* certificate = nullptr;
    zactor_t* authenticator = nullptr;
    aServerBrokerPart broker;    // the device link and the frontend (ROUTER)
    aServerSamples samples;      // stream samples on their way to the broker
    aServerDiscovery discovery;  // what discovery announces; localOnly and the port too
    zactor_t* brokerActor = nullptr;
    zactor_t* discoveryActor = nullptr;
    bool filterInstalled = false;
};

namespace {

constexpr uint32_t kLoopback = 0x0100007F;
// The Z85 text of a key of zero bytes: what a certificate without its secret part holds.
constexpr const char* kNoSecretKey = "0000000000000000000000000000000000000000";

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
    if (count == 0 || server->discovery.localOnly) {
        server->discoveryActor = aServerDiscovery_Start(&server->discovery, nullptr);
        return server->discoveryActor != nullptr;
    }
    if (server->interfaceAddress == kLoopback || server->interfaceAddress == 0)
        server->interfaceAddress = interfaces[0];
    char text[INET_ADDRSTRLEN];
    if (aDiscovery_ConvertIPv4Interface(server->interfaceAddress, text, sizeof text) == 0)
        return false;
    server->discoveryActor = aServerDiscovery_Start(&server->discovery, text);
    return server->discoveryActor != nullptr;
}

// The in-process endpoint is bound before CURVE is set: in-process peers
// need no handshake, and only this process can reach them.
bool _bindInProcess(aServer* server)
{
    static std::atomic<unsigned> counter{0};
    snprintf(server->endpoint, sizeof server->endpoint, "inproc://aServer-%u", counter++);
    return zsock_bind(server->broker.frontend, "%s", server->endpoint) == 0;
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
    zcert_apply(server->certificate, server->broker.frontend);
    zsock_set_curve_server(server->broker.frontend, 1);
    aTessarine_Trace(aDEBUG_SERVER, "Server: CURVE, clients of %s\n", allowed.c_str());
    return true;
}

int _bindFrontend(aServer* server)
{
    if (!_bindInProcess(server) || !_secure(server))
        return -1;
    if (server->discovery.localOnly)
        return zsock_bind(server->broker.frontend, "tcp://127.0.0.1:*");
    char text[INET_ADDRSTRLEN];
    if (aDiscovery_ConvertIPv4Interface(server->interfaceAddress, text, sizeof text) == 0)
        return -1;
    return zsock_bind(server->broker.frontend, "tcp://%s:*", text);
}

}  // namespace

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
    server->broker.linkId = linkId;
    server->linkType = type;
    server->discovery.serialNumber = serialNumber;
    server->discovery.networkType = _networkType(type);
    server->discovery.localOnly = localOnly;
    server->interfaceAddress = interfaceAddress ? interfaceAddress : kLoopback;
    return server;
}

aErr aServer_Start(aServer* server)
{
    if (!_valid(server))
        return aErrParam;
    if (server->broker.frontend)
        return aErrBusy;
    server->broker.frontend = zsock_new(ZMQ_ROUTER);
    bool ok = server->broker.frontend && _startDiscovery(server);
    int port = ok ? _bindFrontend(server) : -1;
    ok = ok && port > 0;
    server->discovery.port = ok ? static_cast<uint16_t>(port) : 0;
    ok = ok && aZmqPair_Create(&server->samples.pair) == aErrNone;
    server->broker.samples = server->samples.pair.bound;
    if (ok)
        server->brokerActor = zactor_new(aServerBroker_Actor, &server->broker);
    ok = ok && server->brokerActor;
    uint32_t linkId = server->broker.linkId;
    if (ok) {
        ok = aLink_InstallUserPacketFilter(linkId, _streamingPacketFilter, &server->samples) == aErrNone;
        server->filterInstalled = ok;
        aLink_DrainPackets(linkId, _dropAll, nullptr);
    }
    if (!ok) {
        aTessarine_Trace(aDEBUG_SERVER, "Could not find open port\n");
        return aErrResource;
    }
    aTessarine_Trace(aDEBUG_SERVER, "Server: serving %08X on port %u\n", server->discovery.serialNumber,
                     server->discovery.port.load());
    return aErrNone;
}

aErr aServer_Destroy(aServer** server)
{
    if (!server || !_valid(*server))
        return aErrParam;
    aServer* s = *server;
    *server = nullptr;
    if (s->filterInstalled)
        aLink_InstallUserPacketFilter(s->broker.linkId, nullptr, nullptr);
    zactor_destroy(&s->brokerActor);
    zactor_destroy(&s->discoveryActor);
    aZmqPair_Destroy(&s->samples.pair);
    zsock_destroy(&s->broker.frontend);
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
    *port = server->discovery.port;
    return aErrNone;
}

aErr aServer_GetInterface(const aServer* server, uint32_t* interfaceAddress)
{
    if (!_valid(server) || !interfaceAddress)
        return aErrParam;
    *interfaceAddress = server->discovery.localOnly ? kLoopback : server->interfaceAddress;
    return aErrNone;
}

aErr aServer_SetModuleAddress(aServer* server, uint8_t address)
{
    if (!_valid(server))
        return aErrParam;
    server->discovery.moduleAddress = address;
    return aErrNone;
}

aErr aServer_SetModel(aServer* server, uint8_t model)
{
    if (!_valid(server))
        return aErrParam;
    server->discovery.model = model;
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
    // A public certificate alone loads, but a server without its secret key
    // completes no handshake: it would admit nobody.
    bool secret = certificate && strcmp(zcert_secret_txt(certificate), kNoSecretKey) != 0;
    zcert_destroy(&certificate);
    if (!usable)
        return aErrNotFound;
    if (!secret)
        return aErrConfiguration;
    std::lock_guard<std::mutex> lock(_curveMutex);
    _curveCertificate = certificateFile;
    _curveAllowed = allowDirectory;
    return aErrNone;
}

aErr aServer_FlushFIFO(aServer* server)
{
    if (!_valid(server) || !server->brokerActor)
        return aErrParam;
    return zsock_signal(server->brokerActor, aSERVER_SIGNAL_FLUSH) == 0 ? aErrNone : aErrIO;
}
