#include "common/aPacketLog.h"

#include <cstdlib>
#include <cstring>

struct aPacketLog {
    uint8_t* ring;
    size_t size;
    size_t readPos;  // equal positions: empty
    size_t writePos;
};

namespace {

size_t _used(const aPacketLog* log)
{
    return (log->writePos + log->size - log->readPos) % log->size;
}

uint8_t _at(const aPacketLog* log, size_t offset)
{
    return log->ring[(log->readPos + offset) % log->size];
}

void _dropOldest(aPacketLog* log)
{
    size_t recordLength = 2u + _at(log, 1);
    log->readPos = (log->readPos + recordLength) % log->size;
}

void _append(aPacketLog* log, uint8_t byte)
{
    log->ring[log->writePos] = byte;
    log->writePos = (log->writePos + 1) % log->size;
}

}  // namespace

aPacketLog* aPacketLog_Create(size_t size)
{
    if (size < 3)
        return nullptr;
    auto* log = static_cast<aPacketLog*>(std::calloc(1, sizeof(aPacketLog)));
    if (!log)
        return nullptr;
    log->ring = static_cast<uint8_t*>(std::malloc(size));
    if (!log->ring) {
        std::free(log);
        return nullptr;
    }
    log->size = size;
    return log;
}

void aPacketLog_Destroy(aPacketLog** log)
{
    if (!log || !*log)
        return;
    std::free((*log)->ring);
    std::free(*log);
    *log = nullptr;
}

aErr aPacketLog_Put(aPacketLog* log, uint8_t direction, uint8_t length, const uint8_t* bytes)
{
    if (!log || (!bytes && length))
        return aErrParam;
    size_t need = 2u + length;
    if (need >= log->size)
        return aErrOverrun;
    // A record is stored only if it leaves a byte free, so that full never looks empty.
    while (log->size - _used(log) < need + 1)
        _dropOldest(log);
    _append(log, direction);
    _append(log, length);
    for (size_t i = 0; i < length; i++)
        _append(log, bytes[i]);
    return aErrNone;
}

aErr aPacketLog_Get(aPacketLog* log, uint8_t* direction, uint8_t* length, uint8_t* buffer)
{
    if (!log || !direction || !length || (!buffer && *length))
        return aErrParam;
    if (log->readPos == log->writePos)
        return aErrNotFound;
    uint8_t recordLength = _at(log, 1);
    if (recordLength > *length) {
        *length = recordLength;
        return aErrOverrun;
    }
    *direction = _at(log, 0);
    for (size_t i = 0; i < recordLength; i++)
        buffer[i] = _at(log, 2 + i);
    *length = recordLength;
    log->readPos = (log->readPos + 2u + recordLength) % log->size;
    return aErrNone;
}
