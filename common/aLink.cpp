// The link registry, link creation and life cycle, and the packet exchange wrappers.
#include "common/aLink.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdio>
#include <list>
#include <memory>
#include <utility>
#include <new>

#include "common/Log.h"
#include "common/aLinkRecord.h"
#include "unix/aSerialPort.h"
#include "unix/aTime.h"

namespace {

using ItemPtr = std::shared_ptr<linkItem>;

constexpr uint32_t kSerialNumberNone = 0xFFFFFFFF;
constexpr int kStartPolls = 200;  // 10 ms apart: 2 s
constexpr int kSyncPolls = 200;
constexpr int kResetAttempts = 20;
constexpr uint32_t kAwaitSliceMs = 20;
// Pooled packets queued without waking the writer: a full pool's worth (4096 bytes of
// packets of at least 2 bytes) and more wakes it.
constexpr size_t kPooledQuietPackets = 64;  // a waiting caller looks again whether it may read
constexpr int32_t kLogSizeMax = 0x4000000;
constexpr int32_t kLogSizeDefault = 65536;

// The registry: newest first. Its mutex guards the list and the use counts only.
std::list<ItemPtr> _items;
uint32_t _nextId = 1;
uint32_t _unsharedCounter = 0;  // under the creation mutex

aMutexRef _registryMutex()
{
    static aMutexRef mutex = aMutex_Create("aLink_Managed");
    return mutex;
}

struct RegistryLock {
    RegistryLock() { aMutex_Lock(_registryMutex()); }
    ~RegistryLock() { aMutex_Unlock(_registryMutex()); }
};

// Link creation is serialised so that two callers cannot both create the same device.
std::mutex _creationMutex;

ItemPtr _find(uint32_t id)
{
    RegistryLock lock;
    for (auto& item : _items)
        if (item->id == id)
            return item;
    return nullptr;
}

ItemPtr _findDevice(uint32_t serialNumber, int32_t type)
{
    RegistryLock lock;
    for (auto& item : _items)
        if (item->ident0 == serialNumber && item->type == type)
            return item;
    return nullptr;
}

ItemPtr _register(int32_t type, uint32_t ident0, uint32_t ident1, uint32_t ident2)
{
    ItemPtr item;
    try {
        item = std::make_shared<linkItem>();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    item->type = type;
    item->ident0 = ident0;
    item->ident1 = ident1;
    item->ident2 = ident2;
    RegistryLock lock;
    item->id = _nextId++;
    _items.push_front(item);
    return item;
}

ItemPtr _extract(uint32_t id)
{
    RegistryLock lock;
    for (auto it = _items.begin(); it != _items.end(); ++it) {
        if ((*it)->id != id)
            continue;
        ItemPtr item = *it;
        _items.erase(it);
        return item;
    }
    return nullptr;
}

void _addUse(const ItemPtr& item)
{
    RegistryLock lock;
    item->useCount++;
}

// One use fewer; true when it was the last.
bool _dropUse(const ItemPtr& item)
{
    RegistryLock lock;
    return --item->useCount <= 0;
}

bool _valid(const LinkRecord& link)
{
    return link.check == aLINK_CHECK;
}

void _reportFifoError(int line, const char* what, aErr err)
{
    Log::log(0, "Error in File; %s on line; %d, %s: %d\n", "common/aLink", line, what, err);
}

// Releases what Init made (queues, assembler, filter mutex), not the stream.
aErr _releaseQueues(LinkRecord& link, bool report)
{
    aErr outErr = aErrNone;
    aPacketFifoHandle in = link.inFromModule.exchange(0);
    aPacketFifoHandle out = link.outToModule.exchange(0);
    if (in) {
        aErr err = aPacketFifo_Destroy(&in);
        if (err != aErrNone && report)
            _reportFifoError(1198, "Error encountered destoying inFromModule fifo", err);
    }
    if (out) {
        outErr = aPacketFifo_Destroy(&out);
        if (outErr != aErrNone && report)
            _reportFifoError(1207, "Error encountered destoying OutToModule fifo", outErr);
    }
    if (link.rxPacket)
        aPacket_Destroy(&link.rxPacket);
    if (link.userFilterSema)
        aMutex_Destroy(&link.userFilterSema);
    return outErr;
}

// Callers hold the item's lifecycle lock.
bool _init(linkItem& item, aStreamRef stream)
{
    LinkRecord& link = item.link;
    if (_valid(link) && link.running)
        return false;  // a running link keeps its queues and stream
    std::scoped_lock streamLocks(link.readMutex, link.writeMutex);
    if (_valid(link)) {
        _releaseQueues(link, false);
        if (link.stream && link.stream != stream)
            aStream_Destroy(&link.stream);
    }
    link.id = item.id;
    link.check = aLINK_CHECK;
    link.running = 0;
    link.status = stream ? LinkStatus::stopped : LinkStatus::noStream;
    link.stream = stream;
    link.inFromModule = aPacketFifo_Create();
    link.outToModule = aPacketFifo_Create();
    link.rxPacket = aPacket_Create();
    link.reader = link.writer = nullptr;
    link.readerReady = link.writerReady = 0;
    link.hbState = link.syncState = 0;
    link.pooled = 0;
    link.callerReads = item.type == LinkType::tcpip || item.type == LinkType::serial || item.type == LinkType::client;
    link.userFilter = nullptr;
    link.userFilterRef = nullptr;
    char name[64];
    std::snprintf(name, sizeof name, "aLink(%p)->userFilterSema", static_cast<void*>(&link));
    link.userFilterSema = aMutex_Create(name);
    if (link.wakeFd < 0)
        link.wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    return link.inFromModule && link.outToModule && link.rxPacket && link.userFilterSema;
}

aErr _putRoutePacket(LinkRecord& link, uint8_t value)
{
    aPacket* route = aPacket_CreateWithData(cmdFORCEROUTE, 1, &value);
    if (!route)
        return aErrMemory;
    aErr err = aPacketFifo_Put(link.outToModule, route);
    aPacket_Destroy(&route);
    return err;
}

// Callers hold the item's lifecycle lock.
aErr _start(LinkRecord& link)
{
    if (link.running)
        return aErrNone;
    if (!link.stream)
        return aErrConnection;
    {
        std::lock_guard<std::mutex> reading(link.readMutex);  // a caller may still be reading
        link.hbState = 0;
    }
    link.running = 1;
    link.status = LinkStatus::starting;
    link.readerReady = link.writerReady = 0;
    link.reader = aThread_Create(aLink_ReaderThread, &link);
    if (link.reader)
        link.writer = aThread_Create(aLink_WriterThread, &link);
    if (!link.reader || !link.writer) {
        link.running = 0;
        if (link.reader)
            aThread_Destroy(&link.reader);
        link.status = LinkStatus::stopped;
        return aErrResource;
    }
    int polls = 0;
    while (!(link.readerReady && link.writerReady && link.status == LinkStatus::running) && polls++ < kStartPolls)
        aTime_MSSleep(10);
    if (polls > kStartPolls)
        return aErrIndexRange;
    return _putRoutePacket(link, 1);
}

// Callers hold the item's lifecycle lock.
void _stop(LinkRecord& link)
{
    int32_t status = link.status;
    if (!_valid(link) || status == LinkStatus::stopped || status == LinkStatus::stopping)
        return;
    link.status = LinkStatus::stopping;
    if (link.reader && link.writer)
        _putRoutePacket(link, 0);
    // The route packet is queued before running drops, so the writer sends it either in
    // its loop or in its final flush of the queue.
    link.running = 0;
    // The threads may be waiting long for work: they look at running again now.
    aPacketFifo_Wake(link.outToModule);
    aLink_WakeReader(&link);
    if (link.reader)
        aThread_Destroy(&link.reader);
    if (link.writer)
        aThread_Destroy(&link.writer);
    link.readerReady = link.writerReady = 0;
    std::lock_guard<std::mutex> reading(link.readMutex);  // a caller may still be reading
    if (link.rxPacket)
        aPacket_Reset(link.rxPacket);
    link.status = LinkStatus::stopped;
    link.hbState = 0;
}

// A stream for the device the item stands for, made from its identifiers.
aErr _makeStream(const linkItem& item, aStreamRef* stream)
{
    if (item.makeStream)
        return item.makeStream(item, stream);
    switch (item.type) {
    case LinkType::usb:
        return aStream_CreateUSB(item.ident0, stream);
    case LinkType::tcpip:
        return aStream_CreateSocket(item.ident1, static_cast<uint16_t>(item.ident2), stream);
    case LinkType::serial:
        return aStream_CreateSerial_Packetized(item.portName.c_str(), item.baudIndex, false, 0, 0, stream);
    default:
        return aErrUnimplemented;
    }
}

bool _canRemakeStream(const linkItem& item)
{
    return item.makeStream || item.type == LinkType::usb || item.type == LinkType::tcpip ||
           item.type == LinkType::serial;
}

// Stops the link and releases everything it holds; the outbound queue's destroy result.
aErr _teardown(const ItemPtr& item)
{
    std::lock_guard<std::mutex> lifecycle(item->lifecycle);
    LinkRecord& link = item->link;
    _stop(link);
    std::scoped_lock streamLocks(link.readMutex, link.writeMutex);
    aErr result = _releaseQueues(link, true);
    aPacketLog* log = link.log.exchange(nullptr);
    aPacketLog_Destroy(&log);
    if (link.logMutex)
        aMutex_Destroy(&link.logMutex);
    if (link.stream)
        aStream_Destroy(&link.stream);
    link.check = 0;
    return result;
}

// Makes a new item's stream and starts its link, synchronised when asked: the link id, or
// 0 when the link could not be made (it is gone again then).
uint32_t _open(const ItemPtr& item, bool sync)
{
    uint32_t id = item->id;
    aStreamRef stream = nullptr;
    bool ok = _makeStream(*item, &stream) == aErrNone && aLink_Init(id, stream) == id;
    if (!ok && stream && !_valid(item->link))
        aStream_Destroy(&stream);
    if (ok) {
        _addUse(item);
        ok = aLink_Start(id) == aErrNone;
    }
    if (ok && sync)
        ok = aLink_Sync(id) == aErrNone;
    if (!ok) {
        aLink_Destroy(&id);
        return 0;
    }
    return id;
}

// Creation shared by the device link kinds: an existing link to the same device gains a use.
uint32_t _createShared(uint32_t serialNumber, int32_t type, uint32_t ident1, uint32_t ident2,
                       const std::string& portName, uint32_t baudIndex)
{
    std::lock_guard<std::mutex> creation(_creationMutex);
    if (ItemPtr existing = _findDevice(serialNumber, type)) {
        if (existing->server && type != LinkType::serial)
            return 0;  // a served device is reached as a client
        _addUse(existing);
        return existing->id;
    }
    ItemPtr item = _register(type, serialNumber, ident1, ident2);
    if (!item)
        return 0;
    item->portName = portName;
    item->baudIndex = baudIndex;
    return _open(item, type == LinkType::usb);
}

}  // namespace

uint32_t aLink_CreateUnshared(int32_t type, uint32_t ident0, uint32_t ident1, const char* portName,
                              aLinkStreamMaker makeStream)
{
    if (!makeStream)
        return 0;
    std::lock_guard<std::mutex> creation(_creationMutex);
    ItemPtr item = _register(type, ident0, ident1, _unsharedCounter++);
    if (!item)
        return 0;
    item->portName = portName ? portName : "";
    item->makeStream = makeStream;
    return _open(item, false);
}

LinkRecord::~LinkRecord()
{
    if (wakeFd >= 0)
        close(wakeFd);
}

uint32_t aLink_CreateDevice(uint32_t serialNumber, int32_t type, uint32_t ident1, uint32_t ident2)
{
    return _createShared(serialNumber, type, ident1, ident2, std::string(), 0);
}

uint32_t aLink_CreateTCPIP(uint32_t serialNumber, uint32_t address, uint16_t port)
{
    return _createShared(serialNumber, LinkType::tcpip, address, port, std::string(), 0);
}

uint32_t aLink_CreateSerial(uint32_t serialNumber, const char* portName, uint32_t baudRate)
{
    int baudIndex = aSerialPort_BaudIndex(baudRate);
    if (baudIndex < 0 || portName == nullptr)
        return 0;
    return _createShared(serialNumber, LinkType::serial, 0, 0, portName, static_cast<uint32_t>(baudIndex));
}

bool aLink_AddUse(uint32_t linkId)
{
    ItemPtr item = _find(linkId);
    if (!item)
        return false;
    _addUse(item);
    return true;
}

bool aLink_AttachServer(uint32_t deviceId, aServer* server, aLinkServerEndProc endServer)
{
    ItemPtr item = _find(deviceId);
    if (!item || !server || !endServer)
        return false;
    RegistryLock lock;
    if (item->server)
        return false;
    item->server = server;
    item->endServer = endServer;
    return true;
}

namespace {

// The device link's server; taken off the link when detach is set.
aServer* _server(uint32_t deviceId, bool detach)
{
    ItemPtr item = _find(deviceId);
    if (!item)
        return nullptr;
    RegistryLock lock;
    aServer* server = item->server;
    if (detach) {
        item->server = nullptr;
        item->endServer = nullptr;
    }
    return server;
}

}  // namespace

aServer* aLink_DetachServer(uint32_t deviceId)
{
    return _server(deviceId, true);
}

aServer* aLink_GetServer(uint32_t deviceId)
{
    return _server(deviceId, false);
}

uint32_t aLink_GetDeviceId(uint32_t clientId)
{
    ItemPtr item = _find(clientId);
    if (!item)
        return 0;
    RegistryLock lock;
    return item->deviceId;
}

bool aLink_SetDeviceId(uint32_t clientId, uint32_t deviceId)
{
    ItemPtr item = _find(clientId);
    if (!item)
        return false;
    RegistryLock lock;
    item->deviceId = deviceId;
    return true;
}

uint32_t aLink_Create(aStreamRef stream)
{
    if (!aVALIDSTREAM(stream))
        return 0;
    std::lock_guard<std::mutex> creation(_creationMutex);
    ItemPtr item = _register(LinkType::stream, kSerialNumberNone, 0, 0);
    if (!item) {
        aStream_Destroy(&stream);
        return 0;
    }
    uint32_t id = item->id;
    if (aLink_Init(id, stream) != id) {
        if (!item->link.stream)
            aStream_Destroy(&stream);
        aLink_Destroy(&id);
        return 0;
    }
    _addUse(item);
    if (aLink_Start(id) != aErrNone) {
        aLink_Destroy(&id);
        return 0;
    }
    return id;
}

uint32_t aLink_Init(uint32_t linkId, aStreamRef stream)
{
    ItemPtr item = _find(linkId);
    if (!item)
        return 0;
    std::lock_guard<std::mutex> lifecycle(item->lifecycle);
    return _init(*item, stream) ? linkId : 0;
}

aErr aLink_Start(uint32_t linkId)
{
    ItemPtr item = _find(linkId);
    if (!item || !_valid(item->link))
        return aErrParam;
    std::lock_guard<std::mutex> lifecycle(item->lifecycle);
    return _start(item->link);
}

aErr aLink_Stop(uint32_t linkId)
{
    ItemPtr item = _find(linkId);
    if (!item || !_valid(item->link))
        return aErrParam;
    std::lock_guard<std::mutex> lifecycle(item->lifecycle);
    _stop(item->link);
    return aErrNone;
}

aErr aLink_Sync(uint32_t linkId)
{
    ItemPtr item = _find(linkId);
    if (!item || !_valid(item->link))
        return aErrParam;
    LinkRecord& link = item->link;
    link.status = LinkStatus::syncing;  // the reader starts over at its next byte or idle read
    aLink_WakeReader(&link);
    aErr result = aErrNotReady;
    for (int polls = 0; polls < kSyncPolls; polls++) {
        if (link.status == LinkStatus::running) {
            result = aErrNone;
            break;
        }
        aTime_MSSleep(10);
    }
    // Unsent magic packets and the surplus answers to them are of no use to anyone.
    aPacketFifo_DrainPackets(
        link.outToModule, [](const aPacket*, const void*) -> uint8_t { return 1; }, nullptr);
    aTime_MSSleep(100);
    aPacketFifo_DrainPackets(
        link.inFromModule, [](const aPacket*, const void*) -> uint8_t { return 1; }, nullptr);
    return result;
}

aErr aLink_Reset(uint32_t linkId)
{
    ItemPtr item = _find(linkId);
    if (!item || !_valid(item->link))
        return aErrParam;
    std::lock_guard<std::mutex> lifecycle(item->lifecycle);
    LinkRecord& link = item->link;
    _stop(link);
    // What watches the link's packets (a server in front of it, stream callbacks) goes on
    // watching the new stream.
    aLinkPacketFilterProc filter = nullptr;
    const void* filterRef = nullptr;
    if (link.userFilterSema) {
        aMutex_Lock(link.userFilterSema);
        filter = link.userFilter;
        filterRef = link.userFilterRef;
        aMutex_Unlock(link.userFilterSema);
    }
    {
        std::lock_guard<std::mutex> reading(link.readMutex);
        _releaseQueues(link, false);
    }
    aStreamRef stream = link.stream;
    if (_canRemakeStream(*item)) {
        // The old stream is replaced by one made from the link's identifiers; a link over a
        // stream that cannot be remade keeps its stream rather than run over a freed one.
        {
            std::scoped_lock streamLocks(link.readMutex, link.writeMutex);
            if (stream)
                aStream_Destroy(&link.stream);
        }
        stream = nullptr;
        for (int attempt = 0; attempt < kResetAttempts; attempt++) {
            if (_makeStream(*item, &stream) == aErrNone)
                break;
            aTime_MSSleep(100);
        }
    }
    if (!_init(*item, stream))
        return aErrResource;
    link.userFilter = filter;
    link.userFilterRef = filterRef;
    if (!stream)
        return aErrConnection;  // the link stays, without a stream, until the next reset
    return _start(link);
}

aErr aLink_Destroy(uint32_t* linkId)
{
    if (linkId == nullptr)
        return aErrParam;
    uint32_t id = *linkId;
    *linkId = 0;
    ItemPtr item = _find(id);
    if (!item)
        return aErrParam;
    if (!_dropUse(item))
        return aErrNone;
    // The server stops using the link before the link goes.
    aServer* server = nullptr;
    aLinkServerEndProc endServer = nullptr;
    {
        RegistryLock lock;
        std::swap(server, item->server);
        std::swap(endServer, item->endServer);
    }
    if (server)
        endServer(server);
    aLink_InstallUserPacketFilter(id, nullptr, nullptr);
    _extract(id);
    uint32_t deviceId = item->deviceId;
    aErr result = _valid(item->link) ? _teardown(item) : aErrUnknown;
    if (deviceId)
        aLink_Destroy(&deviceId);
    return result;
}

int32_t aLink_GetStatus(uint32_t linkId)
{
    ItemPtr item = _find(linkId);
    if (!item || !_valid(item->link))
        return LinkStatus::noStream;
    return item->link.status;
}

aErr aLink_ForceRoute(uint32_t linkId, uint8_t value)
{
    ItemPtr item = _find(linkId);
    if (!item)
        return aErrNotFound;
    if (!_valid(item->link))
        return aErrParam;
    return _putRoutePacket(item->link, value);
}

aErr aLink_EnablePooledPackets(uint32_t linkId, bool pooled)
{
    ItemPtr item = _find(linkId);
    if (!item || !_valid(item->link))
        return aErrParam;
    item->link.pooled = pooled ? 1 : 0;
    return aErrNone;
}

aErr aLink_InstallUserPacketFilter(uint32_t linkId, aLinkPacketFilterProc proc, const void* ref)
{
    ItemPtr item = _find(linkId);
    if (!item || !_valid(item->link) || !item->link.userFilterSema)
        return aErrParam;
    LinkRecord& link = item->link;
    aMutex_Lock(link.userFilterSema);
    link.userFilter = proc;
    link.userFilterRef = proc ? ref : nullptr;
    aMutex_Unlock(link.userFilterSema);
    return aErrNone;
}

aErr aLink_GetIdentity(uint32_t linkId, int32_t* type, uint32_t* ident0, uint32_t* ident1, uint32_t* ident2)
{
    ItemPtr item = _find(linkId);
    if (!item)
        return aErrNotFound;
    if (type)
        *type = item->type;
    if (ident0)
        *ident0 = item->ident0;
    if (ident1)
        *ident1 = item->ident1;
    if (ident2)
        *ident2 = item->ident2;
    return aErrNone;
}

// Packet exchange.

// A packet goes straight to the stream when nothing is ahead of it, sparing the writer
// thread's wake-up on the way out; otherwise it is queued for the writer. A pooled packet
// is queued without waking the writer: more are likely to follow, and they all leave
// together when the caller awaits the reply, or when the writer next looks (it looks every
// few milliseconds while the link pools; a long queue wakes it at once).
aErr aLink_PutPacket(uint32_t linkId, const aPacket* packet)
{
    ItemPtr item = _find(linkId);
    if (!item || !_valid(item->link) || !aVALIDPACKET(packet))
        return aErrParam;
    LinkRecord& link = item->link;
    if (aLink_TryWriteDirect(&link, packet))
        return aErrNone;
    if (link.pooled && aPacketFifo_GetLength(link.outToModule) < kPooledQuietPackets)
        return aPacketFifo_PutQuietly(link.outToModule, packet);
    return aPacketFifo_Put(link.outToModule, packet);
}

aErr aLink_PutData(uint32_t linkId, uint8_t address, uint8_t length, const uint8_t* payload)
{
    aPacket packet;
    if (!aPacket_Fill(&packet, address, length, payload))
        return aErrResource;
    return aLink_PutPacket(linkId, &packet);
}

aPacket* aLink_GetPacket(uint32_t linkId)
{
    ItemPtr item = _find(linkId);
    return (item && _valid(item->link)) ? aPacketFifo_Get(item->link.inFromModule) : nullptr;
}

aPacket* aLink_AwaitPacket(uint32_t linkId, uint32_t timeoutMs)
{
    ItemPtr item = _find(linkId);
    return (item && _valid(item->link)) ? aPacketFifo_Await(item->link.inFromModule, timeoutMs) : nullptr;
}

aPacket* aLink_GetFirst(uint32_t linkId, aPacketFilterProc proc, const void* ref)
{
    ItemPtr item = _find(linkId);
    return (item && _valid(item->link)) ? aPacketFifo_GetFirst(item->link.inFromModule, proc, ref) : nullptr;
}

// While the reader thread waits for input, the caller reads the stream itself (the
// reply then wakes the caller directly); otherwise it awaits the inbound queue. Both in
// slices, so that a caller that began on one path takes the other when it frees up.
aPacket* aLink_AwaitFirst(uint32_t linkId, aPacketFilterProc proc, const void* ref, uint32_t timeoutMs)
{
    return aLink_AwaitFirstOrWake(linkId, proc, ref, timeoutMs, -1);
}

aPacket* aLink_AwaitFirstOrWake(uint32_t linkId, aPacketFilterProc proc, const void* ref, uint32_t timeoutMs,
                                int wakeFd)
{
    ItemPtr item = _find(linkId);
    if (!item || !_valid(item->link) || !proc)
        return nullptr;
    LinkRecord& link = item->link;
    // A link that is not running (syncing among others) yields no reply; once the wait
    // has begun it goes on, through a resynchronisation, until the time-out or a stop.
    if (link.running != 1 || link.status != LinkStatus::running)
        return nullptr;
    aLink_FlushPooled(&link);  // the request this caller awaits a reply to may still be queued
    uint64_t start = aTime_GetMSTicks();
    aPacket* packet = nullptr;
    // One look at the queue even with no time to wait.
    for (uint64_t elapsed = 0; !packet && link.running; elapsed = aTime_GetMSTicks() - start) {
        if (elapsed > 0 && elapsed >= timeoutMs)
            break;
        uint32_t left = elapsed >= timeoutMs ? 0 : static_cast<uint32_t>(timeoutMs - elapsed);
        uint32_t slice = left < kAwaitSliceMs ? left : kAwaitSliceMs;
        bool readerBusy = true;
        bool woken = false;
        if (left > 0)
            packet = aLink_AwaitReading(&link, proc, ref, slice, &readerBusy, wakeFd, &woken);
        if (readerBusy)
            packet = aPacketFifo_AwaitFirst(link.inFromModule, proc, ref, slice);
        if (left == 0 || woken)
            break;
    }
    return packet;
}

size_t aLink_DrainPackets(uint32_t linkId, aPacketFilterProc proc, const void* ref)
{
    ItemPtr item = _find(linkId);
    return (item && _valid(item->link)) ? aPacketFifo_DrainPackets(item->link.inFromModule, proc, ref) : 0;
}

// Packet debug log.

aErr aLink_PacketDebug_SetLogSize(uint32_t linkId, int32_t size)
{
    ItemPtr item = _find(linkId);
    if (!item || !_valid(item->link) || size > kLogSizeMax)
        return aErrParam;
    if (item->link.log.load())
        return aErrBusy;
    item->link.logSize = size < 0 ? 0 : size;
    return aErrNone;
}

aErr aLink_PacketDebug_Enable(uint32_t linkId)
{
    ItemPtr item = _find(linkId);
    if (!item || !_valid(item->link))
        return aErrParam;
    std::lock_guard<std::mutex> lifecycle(item->lifecycle);
    LinkRecord& link = item->link;
    if (!link.log.load()) {
        if (link.logSize == 0)
            link.logSize = kLogSizeDefault;
        char name[64];
        std::snprintf(name, sizeof name, "LOG_SEMA_%p", static_cast<void*>(&link));
        if (!link.logMutex)
            link.logMutex = aMutex_Create(name);
        aPacketLog* log = aPacketLog_Create(static_cast<size_t>(link.logSize));
        if (!link.logMutex || !log) {
            aPacketLog_Destroy(&log);
            return aErrResource;
        }
        link.log = log;
    }
    link.logEnabled = true;
    return aErrNone;
}

aErr aLink_PacketDebug_Disable(uint32_t linkId)
{
    ItemPtr item = _find(linkId);
    if (!item || !_valid(item->link))
        return aErrParam;
    if (!item->link.log.load())
        return aErrNotReady;
    item->link.logEnabled = false;
    return aErrNone;
}

aErr aLink_PacketDebug_Read(uint32_t linkId, uint8_t* direction, uint8_t* length, uint8_t* buffer)
{
    ItemPtr item = _find(linkId);
    if (!item || !_valid(item->link))
        return aErrParam;
    aPacketLog* log = item->link.log.load();
    if (!log)
        return aErrNotReady;
    aMutex_Lock(item->link.logMutex);
    aErr err = aPacketLog_Get(log, direction, length, buffer);
    aMutex_Unlock(item->link.logMutex);
    return err;
}

aErr aLink_PacketDebug_Write(uint32_t linkId, uint8_t direction, uint8_t length, const uint8_t* bytes)
{
    ItemPtr item = _find(linkId);
    if (!item || !_valid(item->link))
        return aErrParam;
    aPacketLog* log = item->link.log.load();
    if (!log)
        return aErrNotReady;
    aMutex_Lock(item->link.logMutex);
    aErr err = aPacketLog_Put(log, direction, length, bytes);
    aMutex_Unlock(item->link.logMutex);
    return err;
}
