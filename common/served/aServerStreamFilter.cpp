#include "common/served/aServerStreamFilter.h"

#include <cstring>

#include "common/served/aServerFrame.h"
#include "common/served/aServerRecord.h"
#include "common/aUEI.h"

uint8_t _streamingPacketFilter(const aPacket* packet, const void* ref)
{
    aServer* server = const_cast<aServer*>(static_cast<const aServer*>(ref));
    if (!server || !aVALIDPACKET(packet))
        return 0;
    uint8_t consumed = 0;
    if (aUEI_isStreamPacket(packet)) {
        size_t length = aServerFrame_FromPacket(packet, server->streamBuffer + server->streamFill,
                                                aSERVER_STREAM_BUFFER - server->streamFill);
        server->streamFill = static_cast<uint16_t>(server->streamFill + length);
        consumed = 1;
    }
    bool flush =
        server->streamFill > aSERVER_STREAM_FLUSH || (aServerFrame_IsHeartbeat(packet) && server->streamFill > 0);
    if (flush) {
        aZmq_SendFrame(server->streaming.connected, server->streamBuffer, server->streamFill, aZMQ_SEND_ATTEMPTS);
        server->streamFill = 0;
    }
    return consumed;
}
