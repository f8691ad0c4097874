#pragma once
// TCP client sockets: the platform half of the socket byte stream. The procedures match
// the byte-stream procedure types; ref is the socket record. The socket is non-blocking:
// a get with nothing received reports aErrNotReady, and aTcpSocket_Wait blocks on the
// descriptor. Reads and writes reconnect by themselves after a reset or a closed peer.

#include <cstddef>
#include <cstdint>

#include "unix/aError.h"

struct SocketStreamData;

// Receives the socket layer's failure reports (source, line, description, errno).
typedef void (*aTcpSocketReportProc)(const char* file, int line, const char* description, int error);
void aTcpSocket_SetReporter(aTcpSocketReportProc proc);

// Connects to address (IPv4, network byte order) and port (host order). aErrResource
// when the first connection fails.
aErr aTcpSocket_Open(uint32_t address, uint16_t port, SocketStreamData** out);

aErr aTcpSocket_Get(uint8_t* byte, void* ref);
aErr aTcpSocket_Put(const uint8_t* byte, void* ref);
// Sends every byte, retrying every 60 ms for at most 10 attempts while the peer accepts
// nothing; aErrTimeout when the attempts run out. A lost connection is made again (one
// attempt); aErrConnection when that fails.
aErr aTcpSocket_Write(const uint8_t* bytes, size_t length, void* ref);
aErr aTcpSocket_Delete(void* ref);
// Waits up to timeoutMs for input: aErrNone when a get may find something, else aErrTimeout.
aErr aTcpSocket_Wait(void* ref, uint32_t timeoutMs);
// The wait that a readable wakeFd ends as well (aErrCancel).
aErr aTcpSocket_WaitOrWake(void* ref, uint32_t timeoutMs, int wakeFd);

// Longest time one connection attempt may take.
constexpr uint32_t aTCPSOCKET_CONNECT_TIMEOUT_MS = 2000;
// Pause between write attempts and their number.
constexpr uint32_t aTCPSOCKET_WRITE_PAUSE_MS = 60;
constexpr uint32_t aTCPSOCKET_WRITE_ATTEMPTS = 10;
