// Serving a device link on the network: the server in front of it and the
// client link through which its first holder goes on using it; client links.
#include "common/served/aLinkNetwork.h"

#include "common/aLink.h"
#include "common/aLinkRecord.h"
#include "common/aUEI.h"
#include "common/served/aServerZeroMQ.h"
#include "common/served/aStreamZeroMQClient.h"
#include "unix/aTime.h"

namespace {

// A client link's stream: to the server's in-process endpoint when the link has one (the
// serving program's own client), else to its address and port.
aErr _clientStream(const linkItem& item, aStreamRef* stream)
{
    if (!item.portName.empty())
        return aStream_CreateClientEndpoint(item.portName.c_str(), stream);
    return aStream_CreateClient(item.ident0, static_cast<uint16_t>(item.ident1), stream);
}

constexpr int kAttempts = 5;
constexpr uint32_t kReplyMs = 1000;
constexpr uint32_t kRetryPauseMs = 10;

struct ModelQuery {
    uint8_t address;
};

uint8_t _emptyFromModule(const aPacket* packet, const void*)
{
    return packet->dataSize == 0 && packet->address != 0;
}

uint8_t _modelReply(const aPacket* packet, const void* ref)
{
    const ModelQuery* query = static_cast<const ModelQuery*>(ref);
    return packet->address == query->address && packet->dataSize == 4 && packet->data[0] == cmdSYSTEM;
}

void _endServer(aServer* server)
{
    aServer_Destroy(&server);
}

// Asks the module, through the client link, for its address and model and
// hands them to the server for discovery.
bool _learnModule(uint32_t clientId, aServer* server)
{
    static const uint8_t none = 0;
    if (aLink_PutData(clientId, aPACKET_ADDR_MAGIC, 0, &none) != aErrNone)
        return false;
    aPacket* reply = aLink_AwaitFirst(clientId, _emptyFromModule, nullptr, kReplyMs);
    uint8_t address = reply ? reply->address : 0;
    aPacket_Destroy(&reply);
    aServer_SetModuleAddress(server, address);
    if (!address)
        return false;
    const uint8_t query[3] = {cmdSYSTEM, 0x48, 0x20};  // get the system model
    if (aLink_PutData(clientId, address, sizeof query, query) != aErrNone)
        return false;
    ModelQuery match{address};
    reply = aLink_AwaitFirst(clientId, _modelReply, &match, kReplyMs);
    if (!reply)
        return false;
    aServer_SetModel(server, reply->data[3]);
    aPacket_Destroy(&reply);
    return true;
}

}  // namespace

uint32_t aLink_CreateClient(uint32_t address, uint16_t port, uint32_t existingId)
{
    if (existingId)
        return aLink_AddUse(existingId) ? existingId : 0;
    return aLink_CreateUnshared(LinkType::client, address, port, nullptr, _clientStream);
}

uint32_t aLink_CreateServer(uint32_t deviceId, uint16_t* port, uint32_t* interfaceAddress, uint8_t localOnly)
{
    if (!deviceId || !port || !interfaceAddress)
        return 0;
    int32_t type = 0;
    if (aLink_GetIdentity(deviceId, &type, nullptr, nullptr, nullptr) != aErrNone)
        return 0;
    // A device link served already (a serial port shared in this process) is
    // reached through its server.
    aServer* server = aLink_GetServer(deviceId);
    bool created = false;
    if (!server) {
        server = aServer_Create(deviceId, *interfaceAddress, localOnly);
        if (!server)
            return 0;
        if (aServer_Start(server) != aErrNone || !aLink_AttachServer(deviceId, server, _endServer)) {
            aServer_Destroy(&server);
            return 0;
        }
        created = true;
    }
    uint16_t serverPort = 0;
    uint32_t serverInterface = 0;
    aServer_GetPort(server, &serverPort);
    aServer_GetInterface(server, &serverInterface);
    // This process reaches its own server in-process: quicker, and admitted
    // whatever the server asks of the clients on the network.
    uint32_t clientId =
        aLink_CreateUnshared(LinkType::client, serverInterface, serverPort, aServer_GetEndpoint(server), _clientStream);
    bool learned = false;
    for (int attempt = 0; clientId && attempt < kAttempts && !learned; ++attempt) {
        learned = _learnModule(clientId, server);
        if (!learned) {
            aServer_FlushFIFO(server);
            aTime_MSSleep(kRetryPauseMs);
        }
    }
    if (!learned) {
        // The caller keeps its use of the device link and disposes of it.
        aLink_Destroy(&clientId);
        if (created && (server = aLink_DetachServer(deviceId)))
            aServer_Destroy(&server);
        return 0;
    }
    aLink_SetDeviceId(clientId, deviceId);
    *port = serverPort;
    *interfaceAddress = serverInterface;
    return clientId;
}
