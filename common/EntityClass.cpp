#include "common/EntityClass.h"

#include <cstring>

#include "common/Module.h"

namespace Kestrune::Tessarine {

namespace {

constexpr uint8_t kStoreSave = 0;
constexpr uint8_t kStoreReset = 1;
constexpr uint8_t kStoreLoad = 2;
constexpr uint32_t kBytesTimeoutMs = 1000;

// A byte-string transfer in progress: what the chunk filter expects.
struct BytesTransfer {
    uint8_t address;
    uint8_t command;
    uint8_t option;
    uint8_t index;
    uint8_t sequence;
};

// Accepts the next chunk of the string, or an error reply, for this entity.
uint8_t _bytes_chunk_filter(const aPacket* packet, const void* ref)
{
    const BytesTransfer* transfer = static_cast<const BytesTransfer*>(ref);
    if (packet->address != transfer->address || packet->dataSize < 3)
        return 0;
    const uint8_t* payload = packet->data;
    uint8_t specifier = payload[ueiPAYLOAD_SPECIFIER];
    if (payload[ueiPAYLOAD_COMMAND] != transfer->command || payload[ueiPAYLOAD_OPTION] != transfer->option ||
        (specifier & ueiSPECIFIER_INDEX_MASK) != transfer->index)
        return 0;
    if (specifier & ueiSPECIFIER_ERROR)
        return 1;
    // The sender's chunk number wraps at 128; compare it as such.
    return packet->dataSize > ueiPAYLOAD_VALUE &&
           aUEI_getBytesSequence(packet) == (transfer->sequence & ueiBYTES_SEQUENCE_MASK);
}

}  // namespace

struct EntityClass::impl {
    EntityClass* owner = nullptr;
    Module* module = nullptr;
    uint8_t command = 0;
    uint8_t index = 0;

    Link* link() const { return module ? module->getLink() : nullptr; }
};

EntityClass::EntityClass() : pImpl(new impl)
{
    pImpl->owner = this;
}

EntityClass::~EntityClass()
{
    delete pImpl;
}

void EntityClass::init(Module* module, uint8_t command, uint8_t index)
{
    pImpl->module = module;
    pImpl->command = command;
    pImpl->index = index;
}

uint8_t EntityClass::getIndex() const
{
    return pImpl->index;
}

Module* EntityClass::getModule() const
{
    return pImpl->module;
}

uint8_t EntityClass::getCommand() const
{
    return pImpl->command;
}

aErr EntityClass::getUEI(uint8_t option, uei* record)
{
    if (!record)
        return aErrParam;
    Link* link = pImpl->link();
    if (!link)
        return aErrResource;
    uint8_t address = pImpl->module->getModuleAddress();
    uint8_t subindex = record->type == ueiTypeByte ? record->v.byteVal : 0;
    uint32_t cached = 0;
    aErr result = link->getStreamValue(address, pImpl->command, option, pImpl->index, subindex, &cached);
    if (result != aErrNotFound) {
        record->v.intVal = cached;
        return result;
    }

    record->address = address;
    record->command = pImpl->command;
    record->option = option | ueiOPTION_GET;
    record->specifier = pImpl->index | ueiSPECIFIER_REQUEST;
    if ((result = link->sendUEI(*record)) != aErrNone)
        return result;
    if ((result = link->receiveUEI(address, pImpl->command, option, pImpl->index, record)) != aErrNone)
        return result;
    if (record->specifier & ueiSPECIFIER_ERROR)
        return record->v.byteVal;
    return aErrNone;
}

aErr EntityClass::setUEI(uint8_t option, uei* record)
{
    if (!record)
        return aErrParam;
    Link* link = pImpl->link();
    if (!link)
        return aErrResource;
    uint8_t address = pImpl->module->getModuleAddress();
    record->address = address;
    record->command = pImpl->command;
    record->option = option | ueiOPTION_SET;
    record->specifier = pImpl->index | ueiSPECIFIER_REQUEST;
    aErr result = link->sendUEI(*record);
    if (result != aErrNone)
        return result;
    result = link->receiveUEI(address, pImpl->command, option | ueiOPTION_ACK, pImpl->index, record);
    if (result != aErrNone)
        return result;
    if (record->specifier & ueiSPECIFIER_ERROR)
        return record->v.byteVal;
    return aErrNone;
}

aErr EntityClass::setUEI(uint8_t option, uint8_t subindex, uei* record)
{
    if (!record)
        return aErrParam;
    Link* link = pImpl->link();
    if (!link)
        return aErrResource;
    uint8_t address = pImpl->module->getModuleAddress();
    record->address = address;
    record->command = pImpl->command;
    record->option = option | ueiOPTION_SET;
    record->specifier = pImpl->index | ueiSPECIFIER_REQUEST;
    aErr result = link->sendUEI(*record, subindex);
    if (result != aErrNone)
        return result;
    result = link->receiveUEI(address, pImpl->command, option | ueiOPTION_ACK, pImpl->index, record);
    if (result != aErrNone)
        return result;
    if (record->specifier & ueiSPECIFIER_ERROR)
        return record->v.byteVal;
    return aErrNone;
}

aErr EntityClass::callUEI(uint8_t option)
{
    uei record{};
    record.type = ueiTypeVoid;
    return setUEI(option, &record);
}

aErr EntityClass::setUEI8(uint8_t option, uint8_t value)
{
    uei record{};
    record.type = ueiTypeByte;
    record.v.byteVal = value;
    return setUEI(option, &record);
}

aErr EntityClass::setUEI8(uint8_t option, uint8_t subindex, uint8_t value)
{
    uei record{};
    record.type = ueiTypeByte;
    record.v.byteVal = value;
    return setUEI(option, subindex, &record);
}

aErr EntityClass::setUEI16(uint8_t option, uint16_t value)
{
    uei record{};
    record.type = ueiTypeShort;
    record.v.shortVal = value;
    return setUEI(option, &record);
}

aErr EntityClass::setUEI16(uint8_t option, uint8_t subindex, uint16_t value)
{
    uei record{};
    record.type = ueiTypeShort;
    record.v.shortVal = value;
    return setUEI(option, subindex, &record);
}

aErr EntityClass::setUEI32(uint8_t option, uint32_t value)
{
    uei record{};
    record.type = ueiTypeInt;
    record.v.intVal = value;
    return setUEI(option, &record);
}

aErr EntityClass::setUEI32(uint8_t option, uint8_t subindex, uint32_t value)
{
    uei record{};
    record.type = ueiTypeInt;
    record.v.intVal = value;
    return setUEI(option, subindex, &record);
}

namespace {

// A get request: void, or with the subindex as its one value byte.
uei _get_request(bool withSubindex, uint8_t subindex)
{
    uei record{};
    record.type = withSubindex ? ueiTypeByte : ueiTypeVoid;
    record.v.byteVal = withSubindex ? subindex : 0;
    return record;
}

bool _has_value(aErr result)
{
    return result == aErrNone || result == aErrStreamStale;
}

}  // namespace

aErr EntityClass::getUEI8(uint8_t option, uint8_t* value)
{
    if (!value)
        return aErrParam;
    uei record = _get_request(false, 0);
    aErr result = getUEI(option, &record);
    if (_has_value(result))
        *value = static_cast<uint8_t>(record.v.intVal);
    return result;
}

aErr EntityClass::getUEI8(uint8_t option, uint8_t subindex, uint8_t* value)
{
    if (!value)
        return aErrParam;
    uei record = _get_request(true, subindex);
    aErr result = getUEI(option, &record);
    if (_has_value(result))
        *value = static_cast<uint8_t>(record.v.intVal);
    return result;
}

aErr EntityClass::getUEI16(uint8_t option, uint16_t* value)
{
    if (!value)
        return aErrParam;
    uei record = _get_request(false, 0);
    aErr result = getUEI(option, &record);
    if (_has_value(result))
        *value = static_cast<uint16_t>(record.v.intVal);
    return result;
}

aErr EntityClass::getUEI16(uint8_t option, uint8_t subindex, uint16_t* value)
{
    if (!value)
        return aErrParam;
    uei record = _get_request(true, subindex);
    aErr result = getUEI(option, &record);
    if (_has_value(result))
        *value = static_cast<uint16_t>(record.v.intVal);
    return result;
}

aErr EntityClass::getUEI32(uint8_t option, uint32_t* value)
{
    if (!value)
        return aErrParam;
    uei record = _get_request(false, 0);
    aErr result = getUEI(option, &record);
    if (_has_value(result))
        *value = record.v.intVal;
    return result;
}

aErr EntityClass::getUEI32(uint8_t option, uint8_t subindex, uint32_t* value)
{
    if (!value)
        return aErrParam;
    uei record = _get_request(true, subindex);
    aErr result = getUEI(option, &record);
    if (_has_value(result))
        *value = record.v.intVal;
    return result;
}

aErr EntityClass::setUEIBytes(uint8_t option, const uint8_t* data, size_t length)
{
    if (!data && length)
        return aErrParam;
    uei record{};
    record.type = ueiTypeBytes;
    record.v.bytes.data = const_cast<uint8_t*>(data);
    record.v.bytes.size = length;
    return setUEI(option, &record);
}

aErr EntityClass::getUEIBytes(uint8_t option, uint8_t* buffer, size_t capacity, size_t* count)
{
    if (!buffer || capacity == 0 || !count)
        return aErrParam;
    *count = 0;
    Link* link = pImpl->link();
    if (!link)
        return aErrResource;
    uint8_t address = pImpl->module->getModuleAddress();

    uei request{};
    request.address = address;
    request.command = pImpl->command;
    request.option = option | ueiOPTION_GET;
    request.specifier = pImpl->index | ueiSPECIFIER_REQUEST;
    request.type = ueiTypeVoid;
    aErr result = link->sendUEI(request);
    if (result != aErrNone)
        return result;

    BytesTransfer transfer{address, pImpl->command, option, pImpl->index, 0};
    for (;;) {
        uint8_t payload[aPACKET_MAXDATA];
        aPacket* chunk = nullptr;
        result = link->awaitPacket(_bytes_chunk_filter, &transfer, kBytesTimeoutMs, &chunk);
        if (result != aErrNone)
            return result;
        uint8_t length = chunk->dataSize;
        memcpy(payload, chunk->data, length);
        aPacket_Destroy(&chunk);
        if (payload[ueiPAYLOAD_SPECIFIER] & ueiSPECIFIER_ERROR)
            return length > ueiPAYLOAD_VALUE ? static_cast<aErr>(payload[ueiPAYLOAD_VALUE]) : aErrUnknown;
        size_t data = length - ueiPAYLOAD_VALUE - 1;
        if (*count + data > capacity)
            return aErrMemory;
        memcpy(buffer + *count, payload + ueiPAYLOAD_VALUE, data);
        *count += data;
        if (!(payload[length - 1] & ueiBYTES_CONTINUE))
            return aErrNone;
        ++transfer.sequence;
    }
}

aErr EntityClass::getUEIBytesCheck(size_t* count, size_t unit)
{
    if (!count)
        return aErrParam;
    if (unit == 0 || *count % unit != 0)
        return aErrMemory;
    *count /= unit;
    return aErrNone;
}

aErr EntityClass::awaitUEI32Val(uint8_t option, uint32_t* value)
{
    if (!value)
        return aErrParam;
    Link* link = pImpl->link();
    if (!link)
        return aErrResource;
    uei record{};
    aErr result = link->receiveUEI(pImpl->module->getModuleAddress(), pImpl->command, option, pImpl->index, &record);
    if (result != aErrNone)
        return result;
    if (record.specifier & ueiSPECIFIER_ERROR)
        return record.v.byteVal;
    *value = record.v.intVal;
    return aErrNone;
}

aErr EntityClass::drainUEI(uint8_t option)
{
    Link* link = pImpl->link();
    if (!link)
        return aErrResource;
    return link->dropMatchingUEIPackets(pImpl->module->getModuleAddress(), pImpl->command, option, pImpl->index);
}

aErr EntityClass::sendPacket(uint8_t command, uint8_t length, const uint8_t* data)
{
    Link* link = pImpl->link();
    if (!link)
        return aErrResource;
    return link->sendPacket(pImpl->module->getModuleAddress(), command, length, data);
}

aErr EntityClass::receivePacket(const uint8_t* match, uint8_t* length, uint8_t* buffer)
{
    Link* link = pImpl->link();
    if (!link)
        return aErrResource;
    return link->receivePacket(pImpl->module->getModuleAddress(), match, length, buffer);
}

aErr EntityClass::storeCommand(uint8_t option)
{
    if (!pImpl->link())
        return aErrResource;
    EntityClass store;
    store.init(pImpl->module, cmdSTORE, 0);
    return store.setUEI32(option, static_cast<uint32_t>(pImpl->command) * 256 + pImpl->index);
}

aErr EntityClass::saveEntityToStore()
{
    return storeCommand(kStoreSave);
}

aErr EntityClass::resetEntityToFactoryDefaults()
{
    return storeCommand(kStoreReset);
}

aErr EntityClass::loadEntityFromStore()
{
    return storeCommand(kStoreLoad);
}

}  // namespace Kestrune::Tessarine
