#include "common/served/aServerFrame.h"

#include <cstring>

#include "common/aUEI.h"

bool aServerFrame_ToPacket(const uint8_t* frame, size_t size, aPacket* packet)
{
    if (!frame || size < aSERVER_FRAME_MIN || size > aSERVER_FRAME_MAX)
        return false;
    // The length byte must describe exactly the bytes that came: a longer one
    // would read past the frame, a shorter one leaves bytes nobody asked for.
    if (static_cast<size_t>(frame[1]) + 2 != size)
        return false;
    return aPacket_Fill(packet, frame[0], frame[1], frame + 2);
}

size_t aServerFrame_FromPacket(const aPacket* packet, uint8_t* frame, size_t size)
{
    size_t length = 0;
    if (aPacket_GetBytes(packet, frame, size, &length) != aErrNone)
        return 0;
    return length;
}

bool aServerFrame_IsContinuedPiece(const aPacket* packet)
{
    return aUEI_isUEIPayload(packet) && aUEI_getBytesFullPacket(packet) && aUEI_getBytesContinue(packet);
}

bool aServerFrame_NeedsReply(const aPacket* packet)
{
    return aVALIDPACKET(packet) && packet->address != cmdFORCEROUTE && !aServerFrame_IsContinuedPiece(packet);
}

bool aServerFrame_IsStreamEnable(const aPacket* packet)
{
    return aVALIDPACKET(packet) && packet->dataSize == 7 && packet->data[0] == 0x5D && packet->data[1] == 0x81;
}

bool aServerFrame_IsRouteRequest(const aPacket* packet)
{
    return aVALIDPACKET(packet) && packet->address == cmdFORCEROUTE && packet->dataSize == 1;
}

bool aServerFrame_IsHeartbeat(const aPacket* packet)
{
    return aVALIDPACKET(packet) && packet->dataSize == 2 && packet->data[0] == 0;
}
