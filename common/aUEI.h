#pragma once
// Entity commands: command numbers, the UEI request/reply encoding and the
// exchange record. A UEI payload is command, option byte, specifier byte and up
// to 25 value bytes, multi-byte values big-endian.
#include <cstddef>
#include <cstdint>

#include "common/aPacket.h"

// Command numbers.
enum : uint8_t {
    cmdHEARTBEAT = 0,
    cmdSYSTEM = 3,
    cmdI2C = 8,
    cmdDEBUG = 23,
    cmdMODULEINFO = 73,
    cmdSTORE = 92,
    cmdUPGRADE = 95,
};

// Option byte: the option code in bits 0-5; bit 6 asks (get), bit 7 sets, both
// acknowledge a set. A reply to a get carries the bare option code.
constexpr uint8_t ueiOPTION_MASK = 0x3F;
constexpr uint8_t ueiOPTION_GET = 0x40;
constexpr uint8_t ueiOPTION_SET = 0x80;
constexpr uint8_t ueiOPTION_ACK = 0xC0;

// Specifier byte: the entity index in bits 0-4; bit 5 marks every request from
// the host, bit 6 a stream sample, bit 7 an error reply (first value byte is
// the aErr code).
constexpr uint8_t ueiSPECIFIER_INDEX_MASK = 0x1F;
constexpr uint8_t ueiSPECIFIER_REQUEST = 0x20;
constexpr uint8_t ueiSPECIFIER_STREAM = 0x40;
constexpr uint8_t ueiSPECIFIER_ERROR = 0x80;

// Value types of an exchange.
enum : int32_t {
    ueiTypeVoid = 0,
    ueiTypeByte = 1,
    ueiTypeShort = 2,
    ueiTypeInt = 4,
    ueiTypeBytes = 5,
};

// Byte strings travel in chunks of at most 24 bytes, each followed by a
// sequence byte: bit 7 = more follow, bits 0-6 = the chunk number.
constexpr size_t ueiBYTES_CHUNK = 24;
constexpr uint8_t ueiBYTES_CONTINUE = 0x80;
constexpr uint8_t ueiBYTES_SEQUENCE_MASK = 0x7F;

// Payload offsets.
constexpr size_t ueiPAYLOAD_COMMAND = 0;
constexpr size_t ueiPAYLOAD_OPTION = 1;
constexpr size_t ueiPAYLOAD_SPECIFIER = 2;
constexpr size_t ueiPAYLOAD_VALUE = 3;

// Descriptor of a byte string being sent or received.
struct ueiBytes {
    uint8_t* data;
    size_t size;       // bytes to send, or the receive capacity
    size_t* count;     // bytes received so far
    uint8_t sequence;  // next expected chunk number
    uint8_t more;      // continue flag of the last chunk
};

// One entity value exchange.
struct uei {
    uint8_t address;
    uint8_t command;
    uint8_t option;     // as sent, or as expected in the reply
    uint8_t specifier;  // as sent, or as expected (index only) in the reply
    union {
        uint8_t byteVal;
        uint16_t shortVal;
        uint32_t intVal;
        ueiBytes bytes;
    } v;
    int32_t type;
};

// Big-endian wire forms of host values.
void aUEI_StoreShort(uint8_t* buffer, uint16_t value);
uint16_t aUEI_RetrieveShort(const uint8_t* buffer);
void aUEI_StoreInt(uint8_t* buffer, uint32_t value);
uint32_t aUEI_RetrieveInt(const uint8_t* buffer);

// Swaps the byte order of each whole 32-bit word of the buffer in place.
void aUEI_ModifyIntBuffer(uint8_t* buffer, size_t length);

// Sequence byte of a byte-string chunk (the packet's last payload byte).
uint8_t aUEI_getBytesSequence(const aPacket* packet);
uint8_t aUEI_getBytesContinue(const aPacket* packet);
// True for a chunk that fills its packet (payload length 27 or 28).
bool aUEI_getBytesFullPacket(const aPacket* packet);

// False for the raw commands (0, 1, 2, 4, 8, 9, 23, 24, 73, 94, 95, 173, 175)
// and for packets without a command byte.
bool aUEI_isUEIPayload(const aPacket* packet);
bool aUEI_isNotUEIPayload(const aPacket* packet);

// A value the module sent of its own accord: a UEI packet of more than 4
// payload bytes, option below 64, specifier bit 6 set.
bool aUEI_isStreamPacket(const aPacket* packet);
