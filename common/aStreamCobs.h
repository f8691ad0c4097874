#pragma once
// The COBS framing stream: packets written to it leave as COBS frames (wire bytes,
// CRC-8, encoded, 0x00 delimiter) through the inner procedures; frames read through the
// inner get come out as the packet's wire bytes once their length and CRC check out.

#include "common/aPacket.h"
#include "common/aStream.h"

// Decoded frame: the packet's wire bytes and their CRC.
constexpr size_t aCOBS_FRAME_DECODED_MAX = aPACKET_MAXWIRE + 1;
// Encoded frame without its delimiter.
constexpr size_t aCOBS_FRAME_ENCODED_MAX = aCOBS_FRAME_DECODED_MAX + 1;

aErr aStream_CreateCobsEncoding(aStreamGetProc getProc, aStreamPutProc putProc, aStreamWriteProc writeProc,
                                aStreamDeleteProc deleteProc, void* procRef, aStreamRef* stream);
// The same with the inner transport's wait procedure, so that readers can block on it.
aErr aStream_CreateCobsEncodingWithWait(aStreamGetProc getProc, aStreamPutProc putProc, aStreamWriteProc writeProc,
                                        aStreamDeleteProc deleteProc, aStreamWaitProc waitProc, void* procRef,
                                        aStreamRef* stream);
// Gives a COBS stream made here the inner transport's wait that a descriptor can end.
aErr aStream_SetCobsWaitOrWake(aStreamRef stream, aStreamWaitOrWakeProc proc);
