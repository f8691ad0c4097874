#include "common/served/aServerStreamFilter.h"

#include "common/aUEI.h"
#include "common/served/aServerFrame.h"

uint8_t _streamingPacketFilter(const aPacket* packet, const void* ref)
{
    aServerSamples* samples = const_cast<aServerSamples*>(static_cast<const aServerSamples*>(ref));
    if (!samples || !aVALIDPACKET(packet))
        return 0;
    uint8_t consumed = 0;
    if (aUEI_isStreamPacket(packet)) {
        size_t length =
            aServerFrame_FromPacket(packet, samples->buffer + samples->fill, aSERVER_STREAM_BUFFER - samples->fill);
        samples->fill = static_cast<uint16_t>(samples->fill + length);
        consumed = 1;
    }
    bool flush = samples->fill > aSERVER_STREAM_FLUSH || (aServerFrame_IsHeartbeat(packet) && samples->fill > 0);
    if (flush) {
        aZmq_SendFrame(samples->pair.connected, samples->buffer, samples->fill, aZMQ_SEND_ATTEMPTS);
        samples->fill = 0;
    }
    return consumed;
}
