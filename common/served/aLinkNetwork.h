#pragma once
// Links over the network: clients of a module that another program (or this one) serves,
// and the serving of a device link (common/served/aServerZeroMQ.h). The links are engine
// links (common/aLink.h) of type LinkType::client whose stream is a network client stream.
#include <cstdint>

// A network client of a served module at address (IPv4, network byte order) and port;
// with a non-zero existingId, that link gains a use instead (0 when it does not exist).
uint32_t aLink_CreateClient(uint32_t address, uint16_t port, uint32_t existingId);

// Serves the device link on the network and returns a client link to it, which takes over
// the caller's use of the device link. *port receives the server's port;
// *interfaceAddress (network byte order, 0 = 127.0.0.1) is where to serve and receives
// where clients reach the server. 0 when the module does not answer.
uint32_t aLink_CreateServer(uint32_t deviceId, uint16_t* port, uint32_t* interfaceAddress, uint8_t localOnly);
