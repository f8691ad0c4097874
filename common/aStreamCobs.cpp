#include "common/aStreamCobs.h"

#include <atomic>
#include <cstring>
#include <new>

#include "common/cobs.h"
#include "common/crc8.h"

#define aCOBS_CHECK 0xC0B5

namespace {

struct CobsStreamData {
    aStreamGetProc getProc;
    aStreamPutProc putProc;
    aStreamWriteProc writeProc;
    aStreamDeleteProc deleteProc;
    void* procRef;
    uint16_t check;
    // Receiving side (the reader thread).
    uint8_t incomingData[aCOBS_FRAME_ENCODED_MAX];
    uint64_t incomingDataLength;
    std::atomic<bool> packetReady;  // also looked at by a wait on another thread
    uint64_t readPosition;
    // Sending side (the writer thread).
    aPacket* assembler;
    uint8_t outgoingData[aCOBS_FRAME_ENCODED_MAX + 1];  // room for the delimiter
    uint64_t outgoingDataLength;
    aStreamWaitProc waitProc;
    aStreamWaitOrWakeProc waitOrWakeProc;
};

static_assert(cobs_max_encoded(aCOBS_FRAME_DECODED_MAX) <= aCOBS_FRAME_ENCODED_MAX,
              "an encoded frame of the longest packet must fit the frame buffers");

CobsStreamData* _cobs(void* ref)
{
    auto* data = static_cast<CobsStreamData*>(ref);
    return (data && data->check == aCOBS_CHECK) ? data : nullptr;
}

// A decoded frame is the packet's wire bytes followed by their CRC-8.
bool _frameIsValid(const uint8_t* frame, size_t length)
{
    return length >= 3 && length == frame[1] + 3u && crc8_check(frame, length - 1, frame[length - 1]);
}

// Decodes the collected frame in place; aErrPacket when it fails the frame check.
aErr _completeFrame(CobsStreamData* c)
{
    size_t decoded = cobs_decode_inplace(c->incomingData, c->incomingDataLength);
    c->incomingDataLength = 0;
    if (!_frameIsValid(c->incomingData, decoded))
        return aErrPacket;
    c->incomingDataLength = decoded - 1;  // the CRC is not handed out
    c->readPosition = 0;
    c->packetReady = true;
    return aErrNone;
}

// Takes in received bytes until a whole frame is there, so that "not ready" really means
// that the transport has nothing more for now (a reader treats it as an idle line).
aErr _cobsGet(uint8_t* byte, void* ref)
{
    CobsStreamData* c = _cobs(ref);
    if (!c || !byte)
        return aErrParam;
    while (!c->packetReady) {
        uint8_t in;
        if (c->getProc == nullptr || c->getProc(&in, c->procRef) != aErrNone)
            return aErrNotReady;
        if (in != 0) {
            if (c->incomingDataLength < sizeof c->incomingData)
                c->incomingData[c->incomingDataLength++] = in;
            continue;  // bytes past the longest frame are dropped; the frame check refuses it
        }
        if (c->incomingDataLength == 0)
            continue;
        aErr err = _completeFrame(c);
        if (err != aErrNone)
            return err;
    }
    *byte = c->incomingData[c->readPosition++];
    if (c->readPosition == c->incomingDataLength) {
        c->packetReady = false;
        c->readPosition = 0;
        c->incomingDataLength = 0;
    }
    return aErrNone;
}

aErr _sendFrame(CobsStreamData* c)
{
    size_t length = 0;
    aPacket_GetBytes(c->assembler, c->outgoingData, sizeof c->outgoingData, &length);
    aPacket_Reset(c->assembler);
    c->outgoingData[length] = crc8_create(c->outgoingData, length);
    length = cobs_encode_inplace(c->outgoingData, length + 1);
    if (length == 0)
        return aErrOverrun;
    c->outgoingData[length++] = 0;
    c->outgoingDataLength = length;
    if (c->writeProc)
        return c->writeProc(c->outgoingData, length, c->procRef);
    for (size_t i = 0; i < length; i++) {
        aErr err = c->putProc ? c->putProc(&c->outgoingData[i], c->procRef) : aErrMode;
        if (err != aErrNone)
            return err;
    }
    return aErrNone;
}

// Bytes written must form whole packets; each completed one leaves as one frame. A byte
// that cannot belong to a packet discards the partial packet and the rest of the block
// (its packet boundaries are lost) and reports aErrPacket.
aErr _cobsWrite(const uint8_t* bytes, size_t length, void* ref)
{
    CobsStreamData* c = _cobs(ref);
    if (!c || (!bytes && length))
        return aErrParam;
    aErr result = aErrNone;
    for (size_t i = 0; i < length; i++) {
        if (aPacket_AddByte(c->assembler, bytes[i]) != aErrNone) {
            aPacket_Reset(c->assembler);
            return aErrPacket;
        }
        if (!aPacket_IsComplete(c->assembler))
            continue;
        aErr err = _sendFrame(c);
        if (err != aErrNone)
            result = err;
    }
    return result;
}

aErr _cobsPut(const uint8_t* byte, void* ref)
{
    CobsStreamData* c = _cobs(ref);
    if (!c)
        return aErrParam;
    return c->putProc ? c->putProc(byte, c->procRef) : aErrMode;
}

aErr _cobsDelete(void* ref)
{
    CobsStreamData* c = _cobs(ref);
    if (!c)
        return aErrParam;
    aErr err = c->deleteProc ? c->deleteProc(c->procRef) : aErrNone;
    aPacket_Destroy(&c->assembler);
    c->check = 0;
    delete c;
    return err;
}

aErr _cobsWait(void* ref, uint32_t timeoutMs)
{
    CobsStreamData* c = _cobs(ref);
    if (!c)
        return aErrParam;
    if (c->packetReady)
        return aErrNone;
    return c->waitProc(c->procRef, timeoutMs);
}

aErr _cobsWaitOrWake(void* ref, uint32_t timeoutMs, int wakeFd)
{
    CobsStreamData* c = _cobs(ref);
    if (!c)
        return aErrParam;
    if (c->packetReady)
        return aErrNone;
    return c->waitOrWakeProc(c->procRef, timeoutMs, wakeFd);
}

}  // namespace

aErr aStream_CreateCobsEncodingWithWait(aStreamGetProc getProc, aStreamPutProc putProc, aStreamWriteProc writeProc,
                                        aStreamDeleteProc deleteProc, aStreamWaitProc waitProc, void* procRef,
                                        aStreamRef* stream)
{
    if (stream == nullptr)
        return aErrParam;
    *stream = nullptr;
    auto* c = new (std::nothrow) CobsStreamData{};
    if (!c)
        return aErrMemory;
    c->assembler = aPacket_Create();
    if (!c->assembler) {
        delete c;
        return aErrMemory;
    }
    c->getProc = getProc;
    c->putProc = putProc;
    c->writeProc = writeProc;
    c->deleteProc = deleteProc;
    c->waitProc = waitProc;
    c->procRef = procRef;
    c->check = aCOBS_CHECK;
    *stream = aStream_Create(_cobsGet, _cobsPut, _cobsWrite, _cobsDelete, c);
    if (*stream == nullptr) {
        aPacket_Destroy(&c->assembler);
        delete c;
        return aErrResource;
    }
    if (waitProc)
        aStream_SetWaitProc(*stream, _cobsWait);
    return aErrNone;
}

aErr aStream_SetCobsWaitOrWake(aStreamRef stream, aStreamWaitOrWakeProc proc)
{
    CobsStreamData* c = aVALIDSTREAM(stream) ? _cobs(stream->procRef) : nullptr;
    if (!c || !proc)
        return aErrParam;
    c->waitOrWakeProc = proc;
    return aStream_SetWaitOrWakeProc(stream, _cobsWaitOrWake);
}

aErr aStream_CreateCobsEncoding(aStreamGetProc getProc, aStreamPutProc putProc, aStreamWriteProc writeProc,
                                aStreamDeleteProc deleteProc, void* procRef, aStreamRef* stream)
{
    return aStream_CreateCobsEncodingWithWait(getProc, putProc, writeProc, deleteProc, nullptr, procRef, stream);
}
