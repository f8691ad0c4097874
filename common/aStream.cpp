#include "common/aStream.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "unix/aTime.h"

namespace {

constexpr uint64_t kRingGrowth = 512;

bool _popBuffered(aStream* stream, uint8_t* byte)
{
    if (stream->bufCount == 0)
        return false;
    *byte = stream->buffer[stream->bufFirst];
    stream->bufFirst = (stream->bufFirst + 1) % stream->bufSize;
    stream->bufCount--;
    return true;
}

aErr _pushBack(aStream* stream, const uint8_t* bytes, size_t length)
{
    for (size_t i = 0; i < length; i++) {
        aErr err = aStreamBufferChar(stream, bytes[i]);
        if (err != aErrNone)
            return err;
    }
    return aErrNone;
}

// Grows the ring by kRingGrowth bytes, the held bytes moved oldest first to its start.
aErr _growRing(aStream* stream)
{
    uint64_t size = stream->bufSize + kRingGrowth;
    auto* ring = static_cast<uint8_t*>(std::malloc(size));
    if (!ring)
        return aErrMemory;
    for (uint32_t i = 0; i < stream->bufCount; i++)
        ring[i] = stream->buffer[(stream->bufFirst + i) % stream->bufSize];
    std::free(stream->buffer);
    stream->buffer = ring;
    stream->bufSize = size;
    stream->bufFirst = 0;
    stream->bufLast = stream->bufCount;
    return aErrNone;
}

}  // namespace

aStreamRef aStream_Create(aStreamGetProc getProc, aStreamPutProc putProc, aStreamWriteProc writeProc,
                          aStreamDeleteProc deleteProc, void* procRef)
{
    auto* stream = static_cast<aStream*>(std::calloc(1, sizeof(aStream)));
    if (!stream)
        return nullptr;
    stream->getProc = getProc;
    stream->putProc = putProc;
    stream->writeProc = writeProc;
    stream->deleteProc = deleteProc;
    stream->procRef = procRef;
    stream->check = aSTREAM_CHECK;
    return stream;
}

aStreamRef aStream_CreateWaiting(aStreamGetProc getProc, aStreamPutProc putProc, aStreamWriteProc writeProc,
                                 aStreamDeleteProc deleteProc, aStreamWaitProc waitProc, void* procRef)
{
    aStreamRef stream = aStream_Create(getProc, putProc, writeProc, deleteProc, procRef);
    if (stream == nullptr) {
        deleteProc(procRef);
        return nullptr;
    }
    stream->waitProc = waitProc;
    return stream;
}

aErr aStream_Destroy(aStreamRef* stream)
{
    if (stream == nullptr)
        return aErrParam;
    if (!aVALIDSTREAM(*stream)) {
        *stream = nullptr;
        return aErrParam;
    }
    aStream* s = *stream;
    *stream = nullptr;
    aErr err = s->deleteProc ? s->deleteProc(s->procRef) : aErrNone;
    std::free(s->buffer);
    s->check = 0;
    std::free(s);
    return err;
}

aErr aStream_SetWaitProc(aStreamRef stream, aStreamWaitProc waitProc)
{
    if (!aVALIDSTREAM(stream))
        return aErrParam;
    stream->waitProc = waitProc;
    return aErrNone;
}

aErr aStream_SetWaitOrWakeProc(aStreamRef stream, aStreamWaitOrWakeProc proc)
{
    if (!aVALIDSTREAM(stream))
        return aErrParam;
    stream->waitOrWakeProc = proc;
    return aErrNone;
}

aErr aStream_WaitOrWake(aStreamRef stream, uint32_t timeoutMs, int wakeFd)
{
    if (!aVALIDSTREAM(stream))
        return aErrParam;
    if (!stream->waitOrWakeProc || wakeFd < 0)
        return aErrUnimplemented;
    if (stream->bufCount > 0)
        return aErrNone;
    return stream->waitOrWakeProc(stream->procRef, timeoutMs, wakeFd);
}

aErr aStream_Wait(aStreamRef stream, uint32_t timeoutMs)
{
    if (!aVALIDSTREAM(stream))
        return aErrParam;
    if (stream->bufCount > 0)
        return aErrNone;
    if (stream->waitProc)
        return stream->waitProc(stream->procRef, timeoutMs);
    aTime_MSSleep(timeoutMs < aSTREAM_WAIT_FALLBACK_MS ? timeoutMs : aSTREAM_WAIT_FALLBACK_MS);
    return aErrNone;
}

aErr aStreamBufferChar(aStreamRef stream, uint8_t byte)
{
    if (!aVALIDSTREAM(stream))
        return aErrParam;
    if (stream->buffer == nullptr) {
        stream->buffer = static_cast<uint8_t*>(std::malloc(kRingGrowth));
        if (!stream->buffer)
            return aErrMemory;
        stream->bufSize = kRingGrowth;
        stream->bufFirst = stream->bufLast = stream->bufCount = 0;
    }
    if (stream->bufCount >= stream->bufSize - 1) {
        aErr err = _growRing(stream);
        if (err != aErrNone)
            return err;
    }
    stream->buffer[stream->bufLast] = byte;
    stream->bufLast = (stream->bufLast + 1) % stream->bufSize;
    stream->bufCount++;
    return aErrNone;
}

aErr aStream_Read(aStreamRef stream, uint8_t* destination, size_t length)
{
    if (!aVALIDSTREAM(stream) || destination == nullptr)
        return aErrParam;
    if (stream->getProc == nullptr)
        return aErrMode;
    if (length == 0)
        return aErrNone;
    // Short reads (the link reads one byte at a time) need no heap scratch buffer.
    uint8_t small[64];
    std::vector<uint8_t> large;
    uint8_t* scratch = small;
    if (length > sizeof small) {
        try {
            large.resize(length);
        } catch (const std::bad_alloc&) {
            return aErrResource;
        }
        scratch = large.data();
    }
    for (size_t i = 0; i < length; i++) {
        if (_popBuffered(stream, &scratch[i]))
            continue;
        aErr err = stream->getProc(&scratch[i], stream->procRef);
        if (err == aErrNone)
            continue;
        if (err == aErrNotReady) {
            // All or nothing: the ring was empty before this get, so pushing the bytes back
            // in order restores the stream exactly.
            aErr pushed = _pushBack(stream, scratch, i);
            return pushed == aErrNone ? aErrNotReady : pushed;
        }
        if (err == aErrEOF)
            std::memcpy(destination, scratch, i);
        return err;
    }
    std::memcpy(destination, scratch, length);
    return aErrNone;
}

aErr aStream_Write(aStreamRef stream, const uint8_t* source, size_t length)
{
    if (!aVALIDSTREAM(stream) || source == nullptr)
        return aErrParam;
    if (length == 0)
        return aErrNone;
    if (stream->writeProc && length > 1)
        return stream->writeProc(source, length, stream->procRef);
    if (stream->putProc == nullptr) {
        if (stream->writeProc)
            return stream->writeProc(source, length, stream->procRef);
        return aErrMode;
    }
    for (size_t i = 0; i < length; i++) {
        aErr err = stream->putProc(&source[i], stream->procRef);
        if (err != aErrNone)
            return err;
    }
    return aErrNone;
}

aErr aStream_ReadRecord(aStreamRef stream, uint8_t* destination, size_t* count, size_t maximum,
                        const uint8_t* separator, size_t separatorLength)
{
    if (destination == nullptr || separator == nullptr || separatorLength == 0 || !aVALIDSTREAM(stream))
        return aErrParam;
    if (count)
        *count = 0;
    std::vector<uint8_t> stored, consumed;
    try {
        stored.reserve(maximum);
    } catch (const std::bad_alloc&) {
        return aErrResource;
    }
    size_t matched = 0;
    aErr err = aErrNone;
    for (;;) {
        if (stored.size() + matched >= maximum) {
            // Full: a pending partial separator can no longer be told from data; keep it as data.
            stored.insert(stored.end(), separator, separator + matched);
            break;
        }
        uint8_t byte;
        err = aStream_Read(stream, &byte, 1);
        if (err != aErrNone)
            break;
        consumed.push_back(byte);
        if (byte == separator[matched]) {
            if (++matched == separatorLength)
                break;
            continue;
        }
        // A partial separator followed by something else was data after all.
        stored.insert(stored.end(), separator, separator + matched);
        matched = 0;
        if (byte != separator[0]) {
            stored.push_back(byte);
        } else if (++matched == separatorLength) {
            break;
        }
    }
    if (err == aErrEOF) {
        if (consumed.empty())
            return aErrEOF;
        stored.insert(stored.end(), separator, separator + matched);
        err = aErrNone;
    } else if (err == aErrNotReady) {
        aErr pushed = _pushBack(stream, consumed.data(), consumed.size());
        return pushed == aErrNone ? aErrNotReady : pushed;
    }
    if (err != aErrNone)
        return err;
    std::memcpy(destination, stored.data(), stored.size());
    if (count)
        *count = stored.size();
    return aErrNone;
}

aErr aStream_WriteRecord(aStreamRef stream, const uint8_t* data, size_t length, const uint8_t* separator,
                         size_t separatorLength)
{
    if (!aVALIDSTREAM(stream) || data == nullptr || separator == nullptr)
        return aErrParam;
    aErr err = aStream_Write(stream, data, length);
    if (err == aErrNone)
        err = aStream_Write(stream, separator, separatorLength);
    return err;
}

aErr aStream_ReadCString(aStreamRef stream, char* buffer, size_t size)
{
    static const uint8_t terminator = 0;
    if (buffer == nullptr || size == 0)
        return aErrParam;
    size_t count = 0;
    aErr err = aStream_ReadRecord(stream, reinterpret_cast<uint8_t*>(buffer), &count, size - 1, &terminator, 1);
    buffer[err == aErrNone ? count : 0] = '\0';
    return err;
}

aErr aStream_WriteCString(aStreamRef stream, const char* text)
{
    if (text == nullptr)
        return aErrParam;
    return aStream_Write(stream, reinterpret_cast<const uint8_t*>(text), std::strlen(text) + 1);
}

aErr aStream_ReadCStringRecord(aStreamRef stream, char* buffer, size_t size, const char* separator)
{
    if (buffer == nullptr || size == 0 || separator == nullptr)
        return aErrParam;
    size_t count = 0;
    aErr err = aStream_ReadRecord(stream, reinterpret_cast<uint8_t*>(buffer), &count, size - 1,
                                  reinterpret_cast<const uint8_t*>(separator), std::strlen(separator));
    buffer[err == aErrNone ? count : 0] = '\0';
    return err;
}

aErr aStream_WriteCStringRecord(aStreamRef stream, const char* text, const char* separator)
{
    if (text == nullptr || separator == nullptr)
        return aErrParam;
    return aStream_WriteRecord(stream, reinterpret_cast<const uint8_t*>(text), std::strlen(text),
                               reinterpret_cast<const uint8_t*>(separator), std::strlen(separator) + 1);
}

aErr aStream_Flush(aStreamRef input, aStreamRef output)
{
    if (!aVALIDSTREAM(input) || !aVALIDSTREAM(output))
        return aErrParam;
    if (input->getProc == nullptr || output->putProc == nullptr)
        return aErrMode;
    for (;;) {
        uint8_t byte;
        aErr err = aStream_Read(input, &byte, 1);
        if (err == aErrEOF)
            return aErrNone;
        if (err == aErrNone)
            err = output->putProc(&byte, output->procRef);
        if (err != aErrNone)
            return err;
    }
}
