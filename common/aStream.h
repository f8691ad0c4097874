#pragma once
// Byte streams: one small interface over every transport (files, serial ports, sockets,
// USB, COBS framing). A stream is four procedures over the transport's own record plus a
// push-back ring shared by all kinds.
//
// Procedure contract: a get with no byte yet returns aErrNotReady without blocking, a get
// at the real end of the source aErrEOF; anything else non-zero is a transport failure.
// A stream may also have a wait procedure that blocks until a get may find a byte, so
// that readers need not call get again and again.

#include <cstddef>
#include <cstdint>

#include "unix/aError.h"

typedef aErr (*aStreamGetProc)(uint8_t* byte, void* ref);
typedef aErr (*aStreamPutProc)(const uint8_t* byte, void* ref);
typedef aErr (*aStreamWriteProc)(const uint8_t* bytes, size_t length, void* ref);
typedef aErr (*aStreamDeleteProc)(void* ref);
// aErrNone when a get may find a byte, aErrTimeout when none came within timeoutMs.
typedef aErr (*aStreamWaitProc)(void* ref, uint32_t timeoutMs);
// The same wait that also ends when the descriptor wakeFd becomes readable
// (aErrCancel then; the descriptor is left as it is).
typedef aErr (*aStreamWaitOrWakeProc)(void* ref, uint32_t timeoutMs, int wakeFd);

#define aSTREAM_CHECK 0x4321

struct aStream {
    aStreamGetProc getProc;
    aStreamPutProc putProc;
    aStreamWriteProc writeProc;
    aStreamDeleteProc deleteProc;
    void* procRef;
    uint8_t* buffer;  // push-back ring, allocated on first use
    uint32_t bufCount;
    uint64_t bufSize;
    uint64_t bufFirst;
    uint64_t bufLast;
    uint16_t check;
    aStreamWaitProc waitProc;              // optional
    aStreamWaitOrWakeProc waitOrWakeProc;  // optional
};
typedef aStream* aStreamRef;

inline bool aVALIDSTREAM(const aStream* stream)
{
    return stream != nullptr && stream->check == aSTREAM_CHECK;
}

aStreamRef aStream_Create(aStreamGetProc getProc, aStreamPutProc putProc, aStreamWriteProc writeProc,
                          aStreamDeleteProc deleteProc, void* procRef);
// A stream over a device that can wait for input; the stream owns procRef. When no
// stream can be made, deleteProc disposes of procRef and the result is nullptr.
aStreamRef aStream_CreateWaiting(aStreamGetProc getProc, aStreamPutProc putProc, aStreamWriteProc writeProc,
                                 aStreamDeleteProc deleteProc, aStreamWaitProc waitProc, void* procRef);
aErr aStream_Destroy(aStreamRef* stream);

aErr aStream_SetWaitProc(aStreamRef stream, aStreamWaitProc waitProc);
// Blocks up to timeoutMs until a read may find a byte. Without a wait procedure it
// pauses briefly (at most aSTREAM_WAIT_FALLBACK_MS) so that a polling reader does not spin.
aErr aStream_Wait(aStreamRef stream, uint32_t timeoutMs);
constexpr uint32_t aSTREAM_WAIT_FALLBACK_MS = 2;
// A wait that another thread can end by making wakeFd readable, so that a reader
// may wait long for input and still notice a stop at once. aErrNone, aErrTimeout,
// aErrCancel (woken), or aErrUnimplemented when the stream cannot wait so.
aErr aStream_SetWaitOrWakeProc(aStreamRef stream, aStreamWaitOrWakeProc proc);
aErr aStream_WaitOrWake(aStreamRef stream, uint32_t timeoutMs, int wakeFd);

// Reads exactly length bytes, all or nothing: when the transport runs dry part way the
// bytes are pushed back and aErrNotReady returned. At aErrEOF the bytes read so far are
// in destination.
aErr aStream_Read(aStreamRef stream, uint8_t* destination, size_t length);
aErr aStream_Write(aStreamRef stream, const uint8_t* source, size_t length);
// Reads up to the separator (not stored) or until maximum bytes are stored.
aErr aStream_ReadRecord(aStreamRef stream, uint8_t* destination, size_t* count, size_t maximum,
                        const uint8_t* separator, size_t separatorLength);
aErr aStream_WriteRecord(aStreamRef stream, const uint8_t* data, size_t length, const uint8_t* separator,
                         size_t separatorLength);
aErr aStream_ReadCString(aStreamRef stream, char* buffer, size_t size);
aErr aStream_WriteCString(aStreamRef stream, const char* text);
aErr aStream_ReadCStringRecord(aStreamRef stream, char* buffer, size_t size, const char* separator);
aErr aStream_WriteCStringRecord(aStreamRef stream, const char* text, const char* separator);
// Copies input to output until the input ends.
aErr aStream_Flush(aStreamRef input, aStreamRef output);
// Pushes one byte back; it is read again before any byte of the transport.
aErr aStreamBufferChar(aStreamRef stream, uint8_t byte);

// Stream kinds.
aErr aStream_CreateFileInput(const char* path, aStreamRef* stream);
aErr aStream_CreateFileOutput(const char* path, aStreamRef* stream);
// baudIndex 0..7 = 2400 ... 230400; dataBits 1 = 7 bits else 8; stopBits 1 = two stop bits.
aErr aStream_CreateSerial(const char* portName, uint32_t baudIndex, bool parity, uint32_t dataBits, uint32_t stopBits,
                          aStreamRef* stream);
// A serial port carrying packets in COBS frames with a CRC-8 each.
aErr aStream_CreateSerial_Packetized(const char* portName, uint32_t baudIndex, bool parity, uint32_t dataBits,
                                     uint32_t stopBits, aStreamRef* stream);
// A TCP connection to address (IPv4, network byte order) and port (host order).
aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStreamRef* stream);
// A module on USB by its serial number: through the kernel-driver node when it
// exists, else through libusb (common/aStreamUSB.cpp).
aErr aStream_CreateUSB(uint32_t serialNumber, aStreamRef* stream);
