#pragma once
// The network client stream: a byte stream (common/aStream.h) to a module
// served by another program (common/served/aServerZeroMQ.h). Written bytes travel as
// ZeroMQ frames, one packet per frame; received frames are read byte by byte.
// The threads that read and write (the link's reader and writer, or a caller
// awaiting its reply) use the socket to the server directly, one at a time, so
// that a request and its reply cross no thread of this process on the way; a
// get never blocks, and the stream's wait procedure waits for the next frame.
#include <cstdint>

#include "common/aStream.h"

// A stream to the server at address (IPv4, network byte order) and port.
// aErrParam for a null out pointer, aErrMemory when a record or socket cannot
// be made, aErrConnection when a connect fails, aErrResource when the stream
// cannot be created.
// The connection is secured with ZeroMQ CURVE when the environment names the
// server's public key and this client's certificate (both, or neither:
// aErrConnection for one without the other or for one that cannot be read).
aErr aStream_CreateClient(uint32_t address, uint16_t port, aStreamRef* stream);

// A stream to a server of this process at its in-process endpoint
// ("inproc://..."): how the program that serves a module reaches it itself.
aErr aStream_CreateClientEndpoint(const char* endpoint, aStreamRef* stream);

// The server's public key: 40 characters of Z85 text, or the path of its
// public certificate (as zcert_save writes it).
#define aCLIENT_SERVER_KEY_ENV "TESSARINE_SERVER_KEY"
// The path of this client's certificate, with its secret key.
#define aCLIENT_CERTIFICATE_ENV "TESSARINE_CLIENT_CERT"
