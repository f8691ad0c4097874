#pragma once
// The link engine: turns a byte stream to one module into two packet queues. A reader
// thread assembles packets, keeps the link synchronised, answers heartbeats and queues
// the rest inbound; a writer thread sends what is queued outbound. Links live in a
// process-wide registry under small integer ids (0 = none); a link to the same device over
// the same transport is shared and counted.

#include <cstdint>

#include "common/aPacket.h"
#include "common/aPacketFifo.h"
#include "common/aStream.h"
#include "unix/aError.h"

// Link status values.
namespace LinkStatus {
enum : int32_t {
    stopped = 0,
    starting = 1,
    running = 2,
    stopping = 3,
    syncing = 4,
    noStream = 5,
    ioError = 6,
    failed = 8,
};
}

// Registry link types.
namespace LinkType {
enum : int32_t { stream = 0, usb = 1, tcpip = 2, serial = 3, client = 4 };
}

// Called by the reader for every complete packet; non-zero consumes it. Runs on the
// reader thread under the link's filter mutex: it must not install a filter itself.
typedef aPacketFilterProc aLinkPacketFilterProc;

// Creation: the new or shared link id, 0 on failure.
// A module on USB, by serial number (common/aLinkUSB.cpp); synchronised before it is
// handed out.
uint32_t aLink_CreateUSB(uint32_t serialNumber);
uint32_t aLink_CreateTCPIP(uint32_t serialNumber, uint32_t address, uint16_t port);
// baudRate in bits per second: 2400, 4800, 9600, 19200, 38400, 57600, 115200 or 230400.
uint32_t aLink_CreateSerial(uint32_t serialNumber, const char* portName, uint32_t baudRate);
// Network clients of served modules and the serving of a device link are made in
// common/served/aLinkNetwork.h.
// The device link behind a client link that serves it (aLink_CreateServer); 0 for any
// other link.
uint32_t aLink_GetDeviceId(uint32_t clientId);
// A link over a stream of the caller's; the link owns the stream from here on (also
// when creation fails, in which case it is destroyed).
uint32_t aLink_Create(aStreamRef stream);

uint32_t aLink_Init(uint32_t linkId, aStreamRef stream);
aErr aLink_Start(uint32_t linkId);
aErr aLink_Sync(uint32_t linkId);
aErr aLink_Stop(uint32_t linkId);
aErr aLink_Reset(uint32_t linkId);
// Drops one use; the link goes with its last use. *linkId is 0 afterwards in every case.
aErr aLink_Destroy(uint32_t* linkId);
int32_t aLink_GetStatus(uint32_t linkId);
aErr aLink_ForceRoute(uint32_t linkId, uint8_t value);
aErr aLink_EnablePooledPackets(uint32_t linkId, bool pooled);
aErr aLink_InstallUserPacketFilter(uint32_t linkId, aLinkPacketFilterProc proc, const void* ref);
// The registry identity of a link: its type and identifiers (serial number, address, port).
aErr aLink_GetIdentity(uint32_t linkId, int32_t* type, uint32_t* ident0, uint32_t* ident1, uint32_t* ident2);

// Packet exchange over the link's queues. Packets handed out are the caller's.
aErr aLink_PutPacket(uint32_t linkId, const aPacket* packet);
// The same for a packet of this address and payload; aErrResource when no such packet can
// be made (more than aPACKET_MAXDATA bytes).
aErr aLink_PutData(uint32_t linkId, uint8_t address, uint8_t length, const uint8_t* payload);
aPacket* aLink_GetPacket(uint32_t linkId);
aPacket* aLink_AwaitPacket(uint32_t linkId, uint32_t timeoutMs);
aPacket* aLink_GetFirst(uint32_t linkId, aPacketFilterProc proc, const void* ref);
// Null at once unless the link runs; no reply is awaited while the link is syncing.
aPacket* aLink_AwaitFirst(uint32_t linkId, aPacketFilterProc proc, const void* ref, uint32_t timeoutMs);
// The same await, which also ends (null) when wakeFd becomes readable while the
// caller waits on the stream itself; without a wake it waits like aLink_AwaitFirst.
aPacket* aLink_AwaitFirstOrWake(uint32_t linkId, aPacketFilterProc proc, const void* ref, uint32_t timeoutMs,
                                int wakeFd);
size_t aLink_DrainPackets(uint32_t linkId, aPacketFilterProc proc, const void* ref);

// Packet debug log: records of direction (1 sent, 2 received, 3 text), length, bytes.
aErr aLink_PacketDebug_SetLogSize(uint32_t linkId, int32_t size);
aErr aLink_PacketDebug_Enable(uint32_t linkId);
aErr aLink_PacketDebug_Disable(uint32_t linkId);
// *length: the buffer's size in, the record's length out.
aErr aLink_PacketDebug_Read(uint32_t linkId, uint8_t* direction, uint8_t* length, uint8_t* buffer);
aErr aLink_PacketDebug_Write(uint32_t linkId, uint8_t direction, uint8_t length, const uint8_t* bytes);

// Timing of the engine, in milliseconds.
constexpr uint32_t aLINK_READER_IDLE_WAIT_MS = 50;     // reader's wait for input when idle
constexpr uint32_t aLINK_READER_QUIET_WAIT_MS = 1000;  // the same on a running link whose reader can be woken
constexpr uint32_t aLINK_READER_YIELD_MS = 2;          // reader's pause while a waiting caller reads
constexpr uint32_t aLINK_WRITER_AWAIT_MS = 1000;       // writer's wait for an outbound packet (a stop wakes it)
constexpr uint32_t aLINK_POOLED_WRITER_AWAIT_MS = 5;   // pooled packets are queued without waking the writer
constexpr uint32_t aLINK_SYNC_RETRY_MS = 250;          // unanswered magic packets are sent again
constexpr uint32_t aLINK_IO_ERROR_PAUSE_MS = 100;      // pause after a failed stream read
