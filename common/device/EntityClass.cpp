#include "common/device/EntityClass.h"

#include <cstring>
#include <optional>

#include "common/device/Module.h"

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
    // Addresses a request record to this entity.
    void address(uei* record, uint8_t option) const;
    // Sends a set request (the subindex, when given, before the value) and awaits its acknowledgement.
    aErr set(uint8_t option, uei* record, std::optional<uint8_t> subindex);
};

namespace {

// The module's answer: its error code when it flagged one.
aErr _reply_result(const uei& record)
{
    if (record.specifier & ueiSPECIFIER_ERROR)
        return record.v.byteVal;
    return aErrNone;
}

}  // namespace

void EntityClass::impl::address(uei* record, uint8_t option) const
{
    record->address = module->getModuleAddress();
    record->command = command;
    record->option = option;
    record->specifier = index | ueiSPECIFIER_REQUEST;
}

aErr EntityClass::impl::set(uint8_t option, uei* record, std::optional<uint8_t> subindex)
{
    if (!record)
        return aErrParam;
    Link* link = this->link();
    if (!link)
        return aErrResource;
    address(record, option | ueiOPTION_SET);
    aErr result = subindex ? link->sendUEI(*record, *subindex) : link->sendUEI(*record);
    if (result != aErrNone)
        return result;
    result = link->receiveUEI(record->address, command, option | ueiOPTION_ACK, index, record);
    if (result != aErrNone)
        return result;
    return _reply_result(*record);
}

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

    pImpl->address(record, option | ueiOPTION_GET);
    if ((result = link->sendUEI(*record)) != aErrNone)
        return result;
    if ((result = link->receiveUEI(address, pImpl->command, option, pImpl->index, record)) != aErrNone)
        return result;
    return _reply_result(*record);
}

aErr EntityClass::setUEI(uint8_t option, uei* record)
{
    return pImpl->set(option, record, std::nullopt);
}

aErr EntityClass::setUEI(uint8_t option, uint8_t subindex, uei* record)
{
    return pImpl->set(option, record, subindex);
}

aErr EntityClass::callUEI(uint8_t option)
{
    uei record{};
    record.type = ueiTypeVoid;
    return setUEI(option, &record);
}

namespace {

// A set request carrying one value of its width.
uei _value_record(uint8_t value)
{
    uei record{};
    record.type = ueiTypeByte;
    record.v.byteVal = value;
    return record;
}

uei _value_record(uint16_t value)
{
    uei record{};
    record.type = ueiTypeShort;
    record.v.shortVal = value;
    return record;
}

uei _value_record(uint32_t value)
{
    uei record{};
    record.type = ueiTypeInt;
    record.v.intVal = value;
    return record;
}

template <typename T>
aErr _set_value(EntityClass& entity, uint8_t option, std::optional<uint8_t> subindex, T value)
{
    uei record = _value_record(value);
    return subindex ? entity.setUEI(option, *subindex, &record) : entity.setUEI(option, &record);
}

// Reads one value: a void get request, or one with the subindex as its one value byte.
// A stale streamed value is still handed back, with its result.
template <typename T>
aErr _get_value(EntityClass& entity, uint8_t option, std::optional<uint8_t> subindex, T* value)
{
    if (!value)
        return aErrParam;
    uei record{};
    record.type = subindex ? ueiTypeByte : ueiTypeVoid;
    record.v.byteVal = subindex.value_or(0);
    aErr result = entity.getUEI(option, &record);
    if (result == aErrNone || result == aErrStreamStale)
        *value = static_cast<T>(record.v.intVal);
    return result;
}

}  // namespace

aErr EntityClass::setUEI8(uint8_t option, uint8_t value)
{
    return _set_value(*this, option, std::nullopt, value);
}

aErr EntityClass::setUEI8(uint8_t option, uint8_t subindex, uint8_t value)
{
    return _set_value(*this, option, subindex, value);
}

aErr EntityClass::setUEI16(uint8_t option, uint16_t value)
{
    return _set_value(*this, option, std::nullopt, value);
}

aErr EntityClass::setUEI16(uint8_t option, uint8_t subindex, uint16_t value)
{
    return _set_value(*this, option, subindex, value);
}

aErr EntityClass::setUEI32(uint8_t option, uint32_t value)
{
    return _set_value(*this, option, std::nullopt, value);
}

aErr EntityClass::setUEI32(uint8_t option, uint8_t subindex, uint32_t value)
{
    return _set_value(*this, option, subindex, value);
}

aErr EntityClass::getUEI8(uint8_t option, uint8_t* value)
{
    return _get_value(*this, option, std::nullopt, value);
}

aErr EntityClass::getUEI8(uint8_t option, uint8_t subindex, uint8_t* value)
{
    return _get_value(*this, option, subindex, value);
}

aErr EntityClass::getUEI16(uint8_t option, uint16_t* value)
{
    return _get_value(*this, option, std::nullopt, value);
}

aErr EntityClass::getUEI16(uint8_t option, uint8_t subindex, uint16_t* value)
{
    return _get_value(*this, option, subindex, value);
}

aErr EntityClass::getUEI32(uint8_t option, uint32_t* value)
{
    return _get_value(*this, option, std::nullopt, value);
}

aErr EntityClass::getUEI32(uint8_t option, uint8_t subindex, uint32_t* value)
{
    return _get_value(*this, option, subindex, value);
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
    request.type = ueiTypeVoid;
    pImpl->address(&request, option | ueiOPTION_GET);
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
    if (result == aErrNone)
        result = _reply_result(record);
    if (result == aErrNone)
        *value = record.v.intVal;
    return result;
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
