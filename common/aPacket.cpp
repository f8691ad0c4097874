#include "common/aPacket.h"

#include <cstdlib>
#include <cstring>
#include <new>

aPacket* aPacket_Create()
{
    aPacket* packet = static_cast<aPacket*>(std::calloc(1, sizeof(aPacket)));
    if (packet)
        packet->check = aPACKET_CHECK;
    return packet;
}

bool aPacket_Fill(aPacket* packet, uint8_t address, uint8_t length, const uint8_t* data)
{
    if (!packet || length > aPACKET_MAXDATA || data == nullptr)
        return false;
    *packet = aPacket{};
    packet->check = aPACKET_CHECK;
    packet->address = address;
    packet->dataSize = length;
    packet->curSize = static_cast<uint8_t>(length + 2);
    std::memcpy(packet->data, data, length);
    return true;
}

aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data)
{
    if (length > aPACKET_MAXDATA || data == nullptr)
        return nullptr;
    aPacket* packet = aPacket_Create();
    if (packet)
        aPacket_Fill(packet, address, length, data);
    return packet;
}

aPacket* aPacket_Copy(const aPacket* packet)
{
    if (!aVALIDPACKET(packet))
        return nullptr;
    return aPacket_CreateWithData(packet->address, packet->dataSize, packet->data);
}

static aErr _payloadByte(const aPacket* packet, uint8_t position, uint8_t mask, uint8_t* out)
{
    if (out == nullptr)
        return aErrParam;
    if (!aVALIDPACKET(packet) || packet->dataSize <= position)
        return aErrPacket;
    *out = packet->data[position] & mask;
    return aErrNone;
}

aErr aPacket_GetCmd(const aPacket* packet, uint8_t* cmd)
{
    return _payloadByte(packet, 0, 0xFF, cmd);
}
aErr aPacket_GetOption(const aPacket* packet, uint8_t* option)
{
    return _payloadByte(packet, 1, 0x3F, option);
}
aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index)
{
    return _payloadByte(packet, 2, 0x1F, index);
}

aErr aPacket_Reset(aPacket* packet)
{
    if (!aVALIDPACKET(packet))
        return aErrParam;
    packet->curSize = 0;
    packet->address = 0;
    packet->dataSize = 0;
    std::memset(packet->data, 0, sizeof packet->data);
    return aErrNone;
}

// Assembly from the wire, one byte at a time. The caller tests completeness after every
// byte and resets the packet once it is complete or refused: a length byte is recognised
// by dataSize still being 0.
aErr aPacket_AddByte(aPacket* packet, uint8_t byte)
{
    if (!aVALIDPACKET(packet))
        return aErrParam;
    if (packet->curSize == UINT8_MAX)
        return aErrOverrun;  // keep the count from wrapping
    packet->curSize++;
    if (packet->curSize > aPACKET_MAXWIRE)
        return aErrOverrun;
    if (packet->address == 0) {
        if (byte == 0)
            return aErrPacket;
        packet->address = byte;
        return aErrNone;
    }
    if (packet->dataSize == 0) {
        packet->dataSize = byte;
        return byte <= aPACKET_MAXDATA ? aErrNone : aErrPacket;
    }
    if (packet->dataSize + 2 < packet->curSize)
        return aErrPacket;
    packet->data[packet->curSize - 3] = byte;
    return aErrNone;
}

bool aPacket_IsComplete(const aPacket* packet)
{
    return aVALIDPACKET(packet) && packet->curSize == packet->dataSize + 2;
}

aErr aPacket_GetBytes(const aPacket* packet, uint8_t* buffer, size_t bufferSize, size_t* length)
{
    if (!aVALIDPACKET(packet) || buffer == nullptr)
        return aErrParam;
    if (packet->dataSize > aPACKET_MAXDATA)
        return aErrPacket;  // a refused length byte
    size_t wire = static_cast<size_t>(packet->dataSize) + 2;
    if (bufferSize < wire)
        return aErrOverrun;
    buffer[0] = packet->address;
    buffer[1] = packet->dataSize;
    std::memcpy(buffer + 2, packet->data, packet->dataSize);
    if (length)
        *length = wire;
    return aErrNone;
}

aErr aPacket_Destroy(aPacket** packet)
{
    if (packet == nullptr || !aVALIDPACKET(*packet))
        return aErrParam;
    (*packet)->check = 0;
    std::free(*packet);
    *packet = nullptr;
    return aErrNone;
}
