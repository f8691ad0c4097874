#pragma once
// The network client stream: a byte stream (common/aStream.h) to a module
// served by another program (common/aServerZeroMQ.h). Written bytes travel as
// ZeroMQ frames, one packet per frame; received frames are read byte by byte.
// A broker actor owns the socket to the server; the stream's callers meet it
// through two loopback socket pairs, so no socket is shared between threads.
#include <cstdint>

#include "common/aStream.h"

// A stream to the server at address (IPv4, network byte order) and port.
// aErrParam for a null out pointer, aErrMemory when a record or socket cannot
// be made, aErrConnection when a connect fails, aErrResource when the stream
// cannot be created.
aErr aStream_CreateClient(uint32_t address, uint16_t port, aStreamRef* stream);

// How long a get waits for a frame before it answers aErrNotReady.
constexpr int aCLIENT_GET_WAIT_MS = 1000;
