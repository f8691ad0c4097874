#include "common/device/Link.h"

#include <atomic>
#include <cstdio>
#include <future>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "common/device/LocklessQueue.h"
#include "common/discovery/aDiscovery.h"
#include "common/aLink.h"
#include "common/served/aLinkNetwork.h"
#include "unix/aTime.h"

namespace Kestrune::Tessarine {

namespace {

constexpr uint32_t kReplyTimeoutMs = 1000;
constexpr uint32_t kLongBytesTimeoutMs = 4000;  // acknowledgement of a long byte-string set
constexpr size_t kLongBytes = 1000;
constexpr int kLinkWaitPolls = 200;
constexpr unsigned kLinkWaitPollMs = 10;
constexpr uint8_t kMaxRawData = aPACKET_MAXDATA - 1;  // the command byte comes first

// Serialises engine link creation across the process.
std::mutex gLinkCreationMutex;

uint32_t _create_client_link(uint32_t address, uint16_t port, uint32_t existingId)
{
    return aLink_CreateClient(address, port, existingId);
}

// Serves the device link; the client link to the server stands in for it and
// the config learns where the server is.
uint32_t _serve_device_link(uint32_t deviceId, PlexusConfig& config)
{
    uint16_t port = 0;
    uint32_t interfaceAddress = config.networkInterface;
    uint32_t clientId = aLink_CreateServer(deviceId, &port, &interfaceAddress, config.localOnly);
    if (clientId) {
        config.assignedPort = port;
        config.networkInterface = interfaceAddress;
    }
    return clientId;
}

struct PacketMatch {
    const uint8_t* bytes;
    uint8_t length;
};

uint8_t _payload_begins_with(const aPacket* packet, const void* ref)
{
    const PacketMatch* match = static_cast<const PacketMatch*>(ref);
    if (packet->dataSize < match->length)
        return 0;
    return memcmp(packet->data, match->bytes, match->length) == 0;
}

uint8_t _empty_packet(const aPacket* packet, const void*)
{
    return packet->dataSize == 0;
}

uint64_t _stream_key(uint8_t address, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex)
{
    return static_cast<uint64_t>(subindex) << 32 | static_cast<uint64_t>(address) << 24 |
           static_cast<uint64_t>(command) << 16 | static_cast<uint64_t>(option) << 8 | index;
}

}  // namespace

struct StreamValue {
    bool fresh;
    uint32_t value;
};

struct StreamHandler {
    Link::StreamCallback callback;
    void* ref;
};

// A stream sample on its way to its callback.
struct asyncPacket {
    aPacket* packet;
    StreamHandler handler;
};

constexpr uint16_t kAsyncSlots = 500;

struct Link::impl {
    Link* owner;
    uint32_t linkId = 0;
    PlexusConfig config;
    std::string name;
    linkSpec* spec = nullptr;

    std::mutex streamMutex;  // guards streamValues and streamHandlers
    std::map<uint64_t, StreamValue> streamValues;
    std::map<uint64_t, StreamHandler> streamHandlers;  // keyed with subindex 0
    uint32_t filterLinkId = 0;                         // the engine link our stream filter sits on
    LocklessQueue_SPSC<asyncPacket, kAsyncSlots> asyncQueue;
    std::thread asyncWorker;
    std::promise<void> asyncStop;

    // Packet log: a thread copies the engine's packet records into the file.
    FILE* logFile = nullptr;
    std::thread logger;
    std::atomic<bool> logging{false};

    bool running() const { return linkId && aLink_GetStatus(linkId) == LinkStatus::running; }
    aErr connectFromSpec(uint32_t existingId);
    aErr waitForLink() const;
    aErr discoverAndConnect(linkType type, uint32_t serialNumber, uint8_t model);
    void recordStreamSample(const aPacket* packet);
    void runAsyncWorker(std::future<void> stop);
    void removeStreamFilter();
    void stopLogger();
    void drainLog();
};

aErr Link::impl::waitForLink() const
{
    for (int poll = 0; poll <= kLinkWaitPolls; ++poll) {
        switch (aLink_GetStatus(linkId)) {
        case LinkStatus::running:
            return aErrNone;
        case LinkStatus::stopped:
        case LinkStatus::starting:
        case LinkStatus::syncing:
            if (poll < kLinkWaitPolls)
                aTime_MSSleep(kLinkWaitPollMs);
            break;
        case LinkStatus::stopping:
            return aErrBusy;
        default:
            return aErrConnection;
        }
    }
    return aErrConnection;
}

aErr Link::impl::connectFromSpec(uint32_t existingId)
{
    if (!spec)
        return aErrConfiguration;
    {
        std::lock_guard<std::mutex> creation(gLinkCreationMutex);
        uint32_t id = 0;
        switch (spec->type) {
        case USB:
            id = aLink_CreateUSB(spec->serialNumber);
            break;
        case TCPIP:
            id = aLink_CreateTCPIP(spec->serialNumber, spec->ipAddress, spec->ipPort);
            break;
        case SERIAL:
            id = aLink_CreateSerial(spec->serialNumber, spec->portName, spec->baudRate);
            break;
        case PLEXUS:
        case PLEXUS_USB:
        case PLEXUS_TCPIP:
        case PLEXUS_SERIAL:
            if (!config.enabled)
                return aErrConfiguration;
            id = _create_client_link(spec->ipAddress, spec->ipPort, existingId);
            break;
        default:
            return aErrMode;
        }
        linkId = id;
        if (linkId && !aLinkSpec_IsServed(spec->type) && config.enabled) {
            uint32_t deviceId = linkId;
            linkId = _serve_device_link(deviceId, config);
            if (!linkId)
                aLink_Destroy(&deviceId);
        }
    }
    if (!linkId)
        return aErrConnection;
    return waitForLink();
}

namespace {

struct FirstOfModel {
    uint8_t model;
    linkSpec* found;
};

bool _first_of_model(const linkSpec* spec, bool* counted, void* ref)
{
    FirstOfModel* wanted = static_cast<FirstOfModel*>(ref);
    if (wanted->model != 0 && spec->model != wanted->model)
        return true;
    wanted->found = aLinkSpec_Copy(*spec);
    *counted = true;
    return false;
}

}  // namespace

aErr Link::impl::discoverAndConnect(linkType type, uint32_t serialNumber, uint8_t model)
{
    linkSpec* found = nullptr;
    if (serialNumber) {
        found = aDiscovery_FindModule(type, serialNumber, config.networkInterface);
    } else {
        FirstOfModel wanted{model, nullptr};
        aDiscovery_EnumerateModules(type, _first_of_model, &wanted, config.networkInterface);
        found = wanted.found;
    }
    if (!found)
        return aErrNotFound;
    if (!running()) {
        aLinkSpec_Destroy(&spec);
        spec = found;
    } else {
        aLinkSpec_Destroy(&found);
    }
    if (linkId)
        return aErrConnection;
    return connectFromSpec(0);
}

namespace {

// Runs on the engine's reader thread for every packet: stream samples are
// recorded (and queued for their callback) instead of reaching the inbound queue.
uint8_t _stream_filter(const aPacket* packet, const void* ref)
{
    if (!aUEI_isStreamPacket(packet))
        return 0;
    const_cast<Link::impl*>(static_cast<const Link::impl*>(ref))->recordStreamSample(packet);
    return 1;
}

}  // namespace

void Link::impl::recordStreamSample(const aPacket* packet)
{
    const uint8_t* payload = packet->data;
    uint8_t option = payload[ueiPAYLOAD_OPTION];
    uint8_t index = payload[ueiPAYLOAD_SPECIFIER] & ueiSPECIFIER_INDEX_MASK;
    const uint8_t* value = payload + ueiPAYLOAD_VALUE;
    // Value bytes: 2 a short, 4 an int; 3 and 5 a subindex byte and then a
    // short or an int.
    uint8_t subindex = 0;
    uint32_t number = 0;
    switch (packet->dataSize - ueiPAYLOAD_VALUE) {
    case 2:
        number = aUEI_RetrieveShort(value);
        break;
    case 3:
        subindex = value[0];
        number = aUEI_RetrieveShort(value + 1);
        break;
    case 4:
        number = aUEI_RetrieveInt(value);
        break;
    case 5:
        subindex = value[0];
        number = aUEI_RetrieveInt(value + 1);
        break;
    default:
        return;
    }
    uint8_t address = packet->address;
    uint8_t command = payload[ueiPAYLOAD_COMMAND];
    std::lock_guard<std::mutex> lock(streamMutex);
    streamValues[_stream_key(address, command, option, index, subindex)] = StreamValue{true, number};
    auto handler = streamHandlers.find(_stream_key(address, command, option, index, 0));
    if (handler == streamHandlers.end())
        return;
    asyncPacket entry{aPacket_Copy(packet), handler->second};
    if (entry.packet && !asyncQueue.push(entry))
        aPacket_Destroy(&entry.packet);  // the worker is behind: the sample is dropped
}

void Link::impl::runAsyncWorker(std::future<void> stop)
{
    while (stop.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
        asyncPacket entry;
        if (!asyncQueue.pop(entry)) {
            aTime_MSSleep(1);
            continue;
        }
        entry.handler.callback(entry.packet, entry.handler.ref);
        aPacket_Destroy(&entry.packet);
    }
}

void Link::impl::removeStreamFilter()
{
    if (!filterLinkId)
        return;
    // Once the engine has taken the filter away, the reader is out of it.
    aLink_InstallUserPacketFilter(filterLinkId, nullptr, nullptr);
    filterLinkId = 0;
    asyncStop.set_value();
    asyncWorker.join();
    asyncPacket entry;
    while (asyncQueue.pop(entry))
        aPacket_Destroy(&entry.packet);
    std::lock_guard<std::mutex> lock(streamMutex);
    streamValues.clear();
    streamHandlers.clear();
}

void Link::impl::drainLog()
{
    uint8_t direction = 0;
    uint8_t bytes[256];
    for (;;) {
        uint8_t length = sizeof bytes - 1;
        if (aLink_PacketDebug_Read(linkId, &direction, &length, bytes) != aErrNone)
            return;
        fprintf(logFile, "%d %s ", length, direction == 1 ? ">" : direction == 2 ? "<" : "-");
        for (uint8_t i = 0; i < length; ++i) {
            if (direction == 3)
                fprintf(logFile, "%c", bytes[i]);
            else
                fprintf(logFile, "0x%X ", bytes[i]);
        }
        fprintf(logFile, "\r\n");
    }
}

void Link::impl::stopLogger()
{
    logging = false;
    if (logger.joinable())
        logger.join();
    if (logFile) {
        drainLog();
        fclose(logFile);
        logFile = nullptr;
    }
}

Link::Link(const char* name) : pImpl(new impl)
{
    pImpl->owner = this;
    pImpl->name = name ? name : "";
}

Link::Link(const linkSpec& spec, const char* name) : Link(name)
{
    pImpl->spec = aLinkSpec_Copy(spec);
}

Link::~Link()
{
    pImpl->removeStreamFilter();
    pImpl->stopLogger();
    if (pImpl->linkId)
        aLink_Destroy(&pImpl->linkId);
    aLinkSpec_Destroy(&pImpl->spec);
    delete pImpl;
}

aErr Link::setLinkSpecifier(const linkSpec& spec)
{
    if (isConnected())
        return aErrBusy;
    linkSpec* copy = aLinkSpec_Copy(spec);
    if (!copy)
        return aErrMemory;
    aLinkSpec_Destroy(&pImpl->spec);
    pImpl->spec = copy;
    return aErrNone;
}

aErr Link::getLinkSpecifier(linkSpec* spec) const
{
    if (!spec)
        return aErrParam;
    if (!pImpl->spec)
        return aErrNotFound;
    *spec = *pImpl->spec;
    return aErrNone;
}

aErr Link::setConfig(const PlexusConfig& config)
{
    if (isConnected())
        return aErrMode;
    pImpl->config = config;
    return aErrNone;
}

aErr Link::getConfig(PlexusConfig* config) const
{
    if (!config)
        return aErrParam;
    *config = pImpl->config;
    return aErrNone;
}

aErr Link::connect()
{
    if (pImpl->linkId)
        return aErrConnection;
    return pImpl->connectFromSpec(0);
}

aErr Link::discoverAndConnect(linkType type, uint32_t serialNumber, uint8_t model)
{
    aErr result = pImpl->discoverAndConnect(type, serialNumber, model);
    bool retry = result == aErrNotFound || result == aErrInitialization || result == aErrConnection;
    if (!retry || !pImpl->config.fallback)
        return result;
    if (type == USB || type == TCPIP)
        return pImpl->discoverAndConnect(PLEXUS, serialNumber, model);
    if (aLinkSpec_IsServed(type))
        return pImpl->discoverAndConnect(USB, serialNumber, model);
    return result;
}

aErr Link::connectThroughLinkModule(Link* other)
{
    if (!other || !other->pImpl->linkId)
        return aErrInitialization;
    if (pImpl->linkId)
        return aErrConnection;
    // Types 1 to 3 share the router's device link through the engine registry
    // (same serial number and type); a network client reuses the router's id.
    return pImpl->connectFromSpec(other->pImpl->linkId);
}

aErr Link::disconnect()
{
    if (pImpl->linkId) {
        pImpl->removeStreamFilter();
        pImpl->stopLogger();
        aLink_Destroy(&pImpl->linkId);
    }
    pImpl->linkId = 0;
    return aErrNone;
}

aErr Link::reset()
{
    aLink_Reset(pImpl->linkId);
    return aErrNone;
}

bool Link::isConnected() const
{
    return pImpl->running();
}

int32_t Link::getStatus() const
{
    return pImpl->linkId ? aLink_GetStatus(pImpl->linkId) : LinkStatus::failed;
}

uint32_t Link::getLinkId() const
{
    return pImpl->linkId;
}

aErr Link::getModuleAddress(uint8_t* address)
{
    if (!address)
        return aErrParam;
    if (!pImpl->running())
        return aErrNotReady;
    aPacket* magic = aPacket_CreateWithData(aPACKET_ADDR_MAGIC, 0, reinterpret_cast<const uint8_t*>(""));
    if (!magic)
        return aErrResource;
    aErr put = aLink_PutPacket(pImpl->linkId, magic);
    aPacket_Destroy(&magic);
    if (put != aErrNone)
        return aErrNotReady;
    aPacket* reply = aLink_AwaitFirst(pImpl->linkId, _empty_packet, nullptr, kReplyTimeoutMs);
    if (!reply)
        return aErrNotReady;
    *address = reply->address;
    aPacket_Destroy(&reply);
    return aErrNone;
}

aErr Link::enablePooledPackets(bool enable)
{
    return aLink_EnablePooledPackets(pImpl->linkId, enable);
}

// --- Entity exchanges ---

namespace {

// Writes a matching reply into the record: an error reply's code, or the value
// by the payload length. Other lengths (byte-string chunks) leave the value.
void _take_reply(const aPacket* packet, uei* record)
{
    const uint8_t* payload = packet->data;
    uint8_t specifier = payload[ueiPAYLOAD_SPECIFIER];
    if (specifier & ueiSPECIFIER_ERROR) {
        record->specifier = specifier;
        record->v = {};
        bool hasCode = packet->dataSize > ueiPAYLOAD_VALUE;
        record->v.byteVal = hasCode ? payload[ueiPAYLOAD_VALUE] : static_cast<uint8_t>(aErrUnknown);
        return;
    }
    const uint8_t* value = payload + ueiPAYLOAD_VALUE;
    switch (packet->dataSize) {
    case 3:
        record->type = ueiTypeVoid;
        record->v = {};
        break;
    case 4:
        record->type = ueiTypeByte;
        record->v = {};
        record->v.byteVal = value[0];
        break;
    case 5:
        record->type = ueiTypeShort;
        record->v = {};
        record->v.shortVal = aUEI_RetrieveShort(value);
        break;
    case 7:
        record->type = ueiTypeInt;
        record->v = {};
        record->v.intVal = aUEI_RetrieveInt(value);
        break;
    default:
        break;
    }
}

bool _valid_target(uint32_t linkId, uint8_t address, aErr* error)
{
    if (!linkId || aLink_GetStatus(linkId) != LinkStatus::running)
        *error = aErrConnection;
    else if (address == 0 || (address & 1))
        *error = aErrPacket;
    else
        return true;
    return false;
}

// Byte strings: chunks of at most 24 bytes, each ending in its sequence byte.
aErr _send_bytes(uint32_t linkId, const uei& record)
{
    const uint8_t* data = record.v.bytes.data;
    size_t remaining = record.v.bytes.size;
    if (!data && remaining)
        return aErrParam;
    uint8_t sequence = 0;
    aErr result = aErrNone;
    do {
        size_t chunk = remaining < ueiBYTES_CHUNK ? remaining : ueiBYTES_CHUNK;
        remaining -= chunk;
        uint8_t payload[aPACKET_MAXDATA] = {record.command, record.option, record.specifier};
        if (chunk)
            memcpy(payload + ueiPAYLOAD_VALUE, data, chunk);
        payload[ueiPAYLOAD_VALUE + chunk] =
            static_cast<uint8_t>((sequence & ueiBYTES_SEQUENCE_MASK) | (remaining ? ueiBYTES_CONTINUE : 0));
        result = aLink_PutData(linkId, record.address, static_cast<uint8_t>(ueiPAYLOAD_VALUE + chunk + 1), payload);
        data += chunk;
        ++sequence;
    } while (result == aErrNone && remaining);
    return result;
}

// Value bytes of a typed record; -1 for a type that has no fixed form.
int _store_value(const uei& record, uint8_t* value)
{
    switch (record.type) {
    case ueiTypeVoid:
        return 0;
    case ueiTypeByte:
        value[0] = record.v.byteVal;
        return 1;
    case ueiTypeShort:
        aUEI_StoreShort(value, record.v.shortVal);
        return 2;
    case ueiTypeInt:
        aUEI_StoreInt(value, record.v.intVal);
        return 4;
    default:
        return -1;
    }
}

}  // namespace

uint8_t ueiReplyFilter(const aPacket* packet, const void* ref)
{
    uei* record = const_cast<uei*>(static_cast<const uei*>(ref));
    if (packet->address != record->address || packet->dataSize < 3)
        return 0;
    const uint8_t* payload = packet->data;
    if (payload[ueiPAYLOAD_COMMAND] != record->command || payload[ueiPAYLOAD_OPTION] != record->option ||
        (payload[ueiPAYLOAD_SPECIFIER] & ueiSPECIFIER_INDEX_MASK) != (record->specifier & ueiSPECIFIER_INDEX_MASK))
        return 0;
    _take_reply(packet, record);
    return 1;
}

aErr Link::sendUEI(const uei& record)
{
    aErr error;
    if (!_valid_target(pImpl->linkId, record.address, &error))
        return error;
    if (record.type == ueiTypeBytes)
        return _send_bytes(pImpl->linkId, record);
    uint8_t payload[aPACKET_MAXDATA] = {record.command, record.option, record.specifier};
    int length = _store_value(record, payload + ueiPAYLOAD_VALUE);
    if (length < 0)
        return aErrParam;
    return aLink_PutData(pImpl->linkId, record.address, static_cast<uint8_t>(ueiPAYLOAD_VALUE + length), payload);
}

aErr Link::sendUEI(const uei& record, uint8_t subindex)
{
    aErr error;
    if (!_valid_target(pImpl->linkId, record.address, &error))
        return error;
    uint8_t payload[aPACKET_MAXDATA] = {record.command, record.option, record.specifier, subindex};
    int length = _store_value(record, payload + ueiPAYLOAD_VALUE + 1);
    if (length < 0)
        return aErrParam;
    return aLink_PutData(pImpl->linkId, record.address, static_cast<uint8_t>(ueiPAYLOAD_VALUE + 1 + length), payload);
}

aErr Link::receiveUEI(uint8_t address, uint8_t command, uint8_t option, uint8_t specifier, uei* record)
{
    return receiveUEI(address, command, option, specifier, record, ueiReplyFilter);
}

aErr Link::receiveUEI(uint8_t address, uint8_t command, uint8_t option, uint8_t specifier, uei* record,
                      aPacketFilterProc filter)
{
    if (!record || !filter)
        return aErrParam;
    aErr error;
    if (!_valid_target(pImpl->linkId, address, &error))
        return error;
    record->address = address;
    record->command = command;
    record->option = option;
    record->specifier = specifier;
    uint32_t timeout =
        record->type == ueiTypeBytes && record->v.bytes.size > kLongBytes ? kLongBytesTimeoutMs : kReplyTimeoutMs;
    aPacket* reply = aLink_AwaitFirst(pImpl->linkId, filter, record, timeout);
    if (!reply)
        return aErrTimeout;
    aPacket_Destroy(&reply);
    return aErrNone;
}

aErr Link::awaitPacket(aPacketFilterProc filter, const void* ref, uint32_t timeoutMs, aPacket** packet)
{
    if (!filter || !packet)
        return aErrParam;
    *packet = nullptr;
    if (!pImpl->running())
        return aErrConnection;
    *packet = aLink_AwaitFirst(pImpl->linkId, filter, ref, timeoutMs);
    return *packet ? aErrNone : aErrTimeout;
}

aErr Link::dropMatchingUEIPackets(uint8_t address, uint8_t command, uint8_t option, uint8_t index)
{
    aErr error;
    if (!_valid_target(pImpl->linkId, address, &error))
        return error;
    uei record{};
    record.address = address;
    record.command = command;
    record.option = option;
    record.specifier = index;
    aLink_DrainPackets(pImpl->linkId, ueiReplyFilter, &record);
    return aErrNone;
}

aErr Link::sendPacket(uint8_t address, uint8_t command, uint8_t length, const uint8_t* data)
{
    aErr error;
    if (!_valid_target(pImpl->linkId, address, &error))
        return error;
    if (length > kMaxRawData || (length && !data))
        return aErrParam;
    uint8_t payload[aPACKET_MAXDATA] = {command};
    if (length)
        memcpy(payload + 1, data, length);
    aLink_PutData(pImpl->linkId, address, static_cast<uint8_t>(length + 1), payload);
    return aErrNone;
}

aErr Link::receivePacket(uint8_t address, const uint8_t* match, uint8_t* length, uint8_t* buffer)
{
    if (!length || !buffer || (*length && !match))
        return aErrParam;
    aErr error;
    if (!_valid_target(pImpl->linkId, address, &error))
        return error;
    PacketMatch wanted{match, *length};
    aPacket* reply = aLink_AwaitFirst(pImpl->linkId, _payload_begins_with, &wanted, kReplyTimeoutMs);
    if (!reply)
        return aErrTimeout;
    *length = reply->dataSize;
    memcpy(buffer, reply->data, reply->dataSize);
    aPacket_Destroy(&reply);
    return aErrNone;
}

aErr Link::registerStreamCallback(uint8_t address, uint8_t command, uint8_t option, uint8_t index,
                                  StreamCallback callback, void* ref)
{
    if (!callback)
        return aErrParam;
    if (!pImpl->linkId)
        return aErrConnection;
    {
        std::lock_guard<std::mutex> lock(pImpl->streamMutex);
        pImpl->streamHandlers[_stream_key(address, command, option, index, 0)] = StreamHandler{callback, ref};
    }
    if (pImpl->filterLinkId)
        return aErrNone;
    pImpl->asyncStop = std::promise<void>();
    pImpl->asyncWorker = std::thread(&impl::runAsyncWorker, pImpl, pImpl->asyncStop.get_future());
    pImpl->filterLinkId = pImpl->linkId;
    aErr result = aLink_InstallUserPacketFilter(pImpl->linkId, _stream_filter, pImpl);
    if (result != aErrNone)
        pImpl->removeStreamFilter();
    return result;
}

aErr Link::removeStreamCallbacks()
{
    pImpl->removeStreamFilter();
    return aErrNone;
}

aErr Link::getStreamValue(uint8_t address, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                          uint32_t* value)
{
    if (!value)
        return aErrParam;
    std::lock_guard<std::mutex> lock(pImpl->streamMutex);
    auto entry = pImpl->streamValues.find(_stream_key(address, command, option, index, subindex));
    if (entry == pImpl->streamValues.end())
        return aErrNotFound;
    *value = entry->second.value;
    if (!entry->second.fresh)
        return aErrStreamStale;
    entry->second.fresh = false;
    return aErrNone;
}

aErr Link::enablePacketLog(const char* fileName)
{
    if (!pImpl->linkId)
        return aErrConfiguration;
    if (!fileName)
        return aErrParam;
    if (pImpl->logFile)
        return aErrBusy;
    aErr result = aLink_PacketDebug_Enable(pImpl->linkId);
    if (result != aErrNone)
        return result;
    pImpl->logFile = fopen(fileName, "w");
    if (!pImpl->logFile) {
        aLink_PacketDebug_Disable(pImpl->linkId);
        return aErrIO;
    }
    const char start[] = "START";
    aLink_PacketDebug_Write(pImpl->linkId, 3, sizeof start - 1, reinterpret_cast<const uint8_t*>(start));
    pImpl->logging = true;
    pImpl->logger = std::thread([this] {
        while (pImpl->logging) {
            pImpl->drainLog();
            aTime_MSSleep(20);
        }
    });
    return aErrNone;
}

aErr Link::disablePacketLog()
{
    if (!pImpl->linkId)
        return aErrConfiguration;
    pImpl->stopLogger();
    return aLink_PacketDebug_Disable(pImpl->linkId);
}

}  // namespace Kestrune::Tessarine
