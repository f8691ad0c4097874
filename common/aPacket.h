#pragma once
// One link packet: module address, payload length and at most 28 payload bytes.
// Packets are heap records owned by whoever holds the pointer.

#include <cstddef>
#include <cstdint>

#include "unix/aError.h"

#define aPACKET_CHECK 0xBEEF
#define aPACKET_MAXDATA 28                     // payload bytes
#define aPACKET_MAXWIRE (aPACKET_MAXDATA + 2)  // address + length + payload

#define aPACKET_ADDR_MAGIC 0xAD  // magic packet: the module answers with an empty packet
#define cmdFORCEROUTE 0xAF       // route packet: force routing on (1) or off (0)

struct aPacket {
    uint16_t check;    // aPACKET_CHECK while the record is valid
    uint8_t curSize;   // wire bytes held (address and length byte included)
    uint8_t address;   // 0 = no address byte received yet
    uint8_t dataSize;  // payload length
    uint8_t data[aPACKET_MAXDATA];
};

inline bool aVALIDPACKET(const aPacket* packet)
{
    return packet != nullptr && packet->check == aPACKET_CHECK;
}

aPacket* aPacket_Create();
aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data);
// Fills a record the caller holds (on the stack, in a container) as aPacket_CreateWithData
// fills a new one; false for a length above aPACKET_MAXDATA or null data.
bool aPacket_Fill(aPacket* packet, uint8_t address, uint8_t length, const uint8_t* data);
aPacket* aPacket_Copy(const aPacket* packet);
aErr aPacket_GetCmd(const aPacket* packet, uint8_t* cmd);
aErr aPacket_GetOption(const aPacket* packet, uint8_t* option);
aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index);
aErr aPacket_Reset(aPacket* packet);
aErr aPacket_AddByte(aPacket* packet, uint8_t byte);
bool aPacket_IsComplete(const aPacket* packet);
aErr aPacket_GetBytes(const aPacket* packet, uint8_t* buffer, size_t bufferSize, size_t* length);
aErr aPacket_Destroy(aPacket** packet);
