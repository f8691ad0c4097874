#include "common/aUEI.h"

void aUEI_StoreShort(uint8_t* buffer, uint16_t value)
{
    buffer[0] = static_cast<uint8_t>(value >> 8);
    buffer[1] = static_cast<uint8_t>(value);
}

uint16_t aUEI_RetrieveShort(const uint8_t* buffer)
{
    return static_cast<uint16_t>(buffer[0] << 8 | buffer[1]);
}

void aUEI_StoreInt(uint8_t* buffer, uint32_t value)
{
    buffer[0] = static_cast<uint8_t>(value >> 24);
    buffer[1] = static_cast<uint8_t>(value >> 16);
    buffer[2] = static_cast<uint8_t>(value >> 8);
    buffer[3] = static_cast<uint8_t>(value);
}

uint32_t aUEI_RetrieveInt(const uint8_t* buffer)
{
    return static_cast<uint32_t>(buffer[0]) << 24 | buffer[1] << 16 | buffer[2] << 8 | buffer[3];
}

void aUEI_ModifyIntBuffer(uint8_t* buffer, size_t length)
{
    if (!buffer)
        return;
    for (size_t i = 0; i + 4 <= length; i += 4) {
        uint8_t b0 = buffer[i], b1 = buffer[i + 1];
        buffer[i] = buffer[i + 3];
        buffer[i + 1] = buffer[i + 2];
        buffer[i + 2] = b1;
        buffer[i + 3] = b0;
    }
}

uint8_t aUEI_getBytesSequence(const aPacket* packet)
{
    if (!aVALIDPACKET(packet) || packet->dataSize == 0)
        return 0;
    return packet->data[packet->dataSize - 1] & ueiBYTES_SEQUENCE_MASK;
}

uint8_t aUEI_getBytesContinue(const aPacket* packet)
{
    if (!aVALIDPACKET(packet) || packet->dataSize == 0)
        return 0;
    return packet->data[packet->dataSize - 1] >> 7;
}

bool aUEI_getBytesFullPacket(const aPacket* packet)
{
    return aVALIDPACKET(packet) && (packet->dataSize == 27 || packet->dataSize == 28);
}

bool aUEI_isNotUEIPayload(const aPacket* packet)
{
    if (!aVALIDPACKET(packet) || packet->dataSize == 0)
        return true;
    switch (packet->data[ueiPAYLOAD_COMMAND]) {
    case 0:
    case 1:
    case 2:
    case 4:
    case 8:
    case 9:
    case 23:
    case 24:
    case 73:
    case 94:
    case 95:
    case 173:
    case 175:
        return true;
    default:
        return false;
    }
}

bool aUEI_isUEIPayload(const aPacket* packet)
{
    return !aUEI_isNotUEIPayload(packet);
}

bool aUEI_isStreamPacket(const aPacket* packet)
{
    return aUEI_isUEIPayload(packet) && packet->dataSize > 4 && packet->data[ueiPAYLOAD_OPTION] < 64 &&
           (packet->data[ueiPAYLOAD_SPECIFIER] & ueiSPECIFIER_STREAM);
}
