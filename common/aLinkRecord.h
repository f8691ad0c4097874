#pragma once
// The link engine's records, shared by the registry (aLink.cpp) and the reader and
// writer threads (aLinkThreads.cpp). Not for users of the engine: they hold link ids.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "common/aPacketFifo.h"
#include "common/aPacketLog.h"
#include "common/aStream.h"
#include "unix/aMutex.h"
#include "unix/aThread.h"

#define aLINK_CHECK 0xCEED

struct aServer;
// Ends a server that stands in front of a device link (stops it and frees it).
typedef void (*aLinkServerEndProc)(aServer* server);

struct linkItem;
// Makes the stream of a link kind whose streams are made above the engine (network
// clients), from the link's identifiers; called at creation and again at every reset.
typedef aErr (*aLinkStreamMaker)(const linkItem& item, aStreamRef* stream);

struct LinkRecord {
    std::atomic<uint16_t> check;  // read by callers racing a teardown
    uint32_t id;
    // Written by one side and polled by the other.
    std::atomic<uint8_t> running;
    std::atomic<int32_t> status;
    std::atomic<aPacketFifoHandle> inFromModule;  // replaced by a reset while callers wait
    aPacket* rxPacket;                            // reader only
    std::atomic<aPacketFifoHandle> outToModule;
    aThreadRef reader;
    aThreadRef writer;
    std::atomic<uint8_t> readerReady;
    std::atomic<uint8_t> writerReady;
    aStreamRef stream;
    // Reader state: used under readMutex, by the reader thread or by a caller that
    // reads the stream itself while it awaits a packet.
    int32_t hbState;
    int32_t syncState;
    uint8_t syncAddress;
    uint64_t syncStartedMs;
    // Packet debug log; the pointer is published once the mutex exists.
    std::atomic<aPacketLog*> log;
    int32_t logSize;
    aMutexRef logMutex;
    std::atomic<bool> logEnabled;
    aPacketFilterProc userFilter;  // guarded by userFilterSema
    const void* userFilterRef;
    aMutexRef userFilterSema;
    std::atomic<uint8_t> pooled;
    // Held for every stream write and while the stream is replaced. Packets leave the
    // outbound queue only under it, so a caller that finds the queue empty under it may
    // write its packet at once without passing any queued one.
    std::mutex writeMutex;
    // Held while the stream is read and what it gives is handled (packet assembly,
    // synchronisation, heartbeat answers, inbound queuing), and while the stream or the
    // reader state is replaced. Not held while waiting for input.
    std::mutex readMutex;
    // Readable when the reader, waiting long for input on a running link, must look
    // at the link again (a stop, a resynchronisation); -1 when it cannot be made.
    int wakeFd = -1;
    // Whether a waiting caller may read the stream (under readMutex): streams whose wait
    // looks at nothing that a read changes, except through atomics or the stream's own lock
    // (sockets, serial ports, network clients).
    bool callerReads;

    ~LinkRecord();
};

struct linkItem {
    uint32_t id = 0;
    uint32_t deviceId = 0;  // a served device's client link: the device link's id
    // Set while the device link is served on the network: the server, and how to end it
    // before the link goes (the server's own code installs it).
    aServer* server = nullptr;
    aLinkServerEndProc endServer = nullptr;
    uint32_t ident0 = 0;  // serial number; 0xFFFFFFFF for a link over a caller's stream
    uint32_t ident1 = 0;  // IPv4 address (TCP/IP)
    uint32_t ident2 = 0;  // port (TCP/IP)
    int32_t type = 0;
    int16_t useCount = 0;  // guarded by the registry mutex
    // What a serial link needs to open its port again on reset; a local client link's
    // in-process endpoint.
    std::string portName;
    uint32_t baudIndex = 0;
    aLinkStreamMaker makeStream = nullptr;  // set for the kinds made above the engine
    // Serialises start, stop, init, reset and teardown of this link.
    std::mutex lifecycle;
    LinkRecord link{};
};

// Shared creation of a device link kind whose creator lives in its own file
// (USB): an existing link to the device gains a use, else a new one is made
// from the identifiers, started and, for USB, synchronised.
uint32_t aLink_CreateDevice(uint32_t serialNumber, int32_t type, uint32_t ident1, uint32_t ident2);

// A link of a kind made above the engine: never shared (each one is a registry entry of
// its own, told apart by a counter as ident2), started, its stream made by makeStream.
// The new link id, 0 on failure.
uint32_t aLink_CreateUnshared(int32_t type, uint32_t ident0, uint32_t ident1, const char* portName,
                              aLinkStreamMaker makeStream);
// One more use of a registered link; false when it is not registered.
bool aLink_AddUse(uint32_t linkId);

// Network serving (common/served/aLinkNetwork.cpp). The device link's server, ended with
// endServer at the device link's last use; false when the link is not registered or
// already served.
bool aLink_AttachServer(uint32_t deviceId, aServer* server, aLinkServerEndProc endServer);
// Takes the server off the device link again (null when there is none).
aServer* aLink_DetachServer(uint32_t deviceId);
aServer* aLink_GetServer(uint32_t deviceId);
// The device link a client link stands for: one use of it goes with the client's last use.
bool aLink_SetDeviceId(uint32_t clientId, uint32_t deviceId);

// Makes the reader look at the link's state again at once.
void aLink_WakeReader(LinkRecord* link);

// The threads' bodies; ref is the LinkRecord.
void* aLink_ReaderThread(void* ref);
void* aLink_WriterThread(void* ref);

// Writes the packet on the calling thread when the link runs unpooled and nothing is
// queued or being written; false when it must go through the outbound queue instead.
bool aLink_TryWriteDirect(LinkRecord* link, const aPacket* packet);

// For a caller awaiting a packet that the procedure accepts: while the reader thread
// waits for input, the caller reads and handles the stream itself for up to timeoutMs,
// so that the kernel wakes the caller at the reply rather than the reader, which would
// have to wake the caller in turn. Everything read is handled as the reader would.
// Returns the accepted packet, or null; *readerBusy is set when the reader (or another
// caller) has the stream, or the stream cannot be waited on: then await the queue.
// A readable wakeFd (when not -1) ends the wait early, with *woken set.
aPacket* aLink_AwaitReading(LinkRecord* link, aPacketFilterProc proc, const void* ref, uint32_t timeoutMs,
                            bool* readerBusy, int wakeFd = -1, bool* woken = nullptr);

// Writes what is queued for a pooled link on the calling thread, when the writer is
// not busy with it: a caller about to await a reply need not wait for the writer to
// wake. Packets leave in queue order, coalesced as the writer would.
void aLink_FlushPooled(LinkRecord* link);

// Records a packet's wire bytes in the link's debug log when one is enabled.
void aLink_LogPacket(LinkRecord* link, uint8_t direction, const aPacket* packet);
