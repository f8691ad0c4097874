#pragma once
// The module server: serves an open device link on the network so that other
// programs, on this host or elsewhere, reach the module as network clients
// (common/served/aStreamZeroMQClient.h). A broker takes packets from many clients,
// puts them on the device link (several requests in flight), routes each reply
// back to the client that asked and fans stream samples out to the clients that
// asked for them; discovery requests (multicast on the loopback interface, or
// beacons on one interface) are answered with the server's linkSpec.
#include <cstdint>

#include "unix/aError.h"

struct aServer;

// A server for the registered device link (USB, TCP/IP or serial), announcing
// interfaceAddress (IPv4, network byte order; 0 = 127.0.0.1). localOnly 1
// serves and answers on the loopback interface only. Null when the link id is
// not registered or is not a device link.
aServer* aServer_Create(uint32_t linkId, uint32_t interfaceAddress, uint8_t localOnly);

// Binds the sockets and starts the actors; aErrResource unless all of them
// came up (what did is stopped again by aServer_Destroy).
aErr aServer_Start(aServer* server);

// Stops everything, frees the server and clears the pointer.
aErr aServer_Destroy(aServer** server);

aErr aServer_GetPort(const aServer* server, uint16_t* port);
aErr aServer_GetInterface(const aServer* server, uint32_t* interfaceAddress);

// What discovery announces; a server whose model was never set answers none.
aErr aServer_SetModuleAddress(aServer* server, uint8_t address);
aErr aServer_SetModel(aServer* server, uint8_t model);

// The in-process endpoint the frontend is bound to as well ("inproc://..."),
// through which the serving program reaches the module itself; "" before start.
const char* aServer_GetEndpoint(const aServer* server);

// Servers started from now on accept only clients that connect with ZeroMQ
// CURVE using a certificate whose public half lies in allowDirectory;
// certificateFile is the servers' own secret certificate (zcert format).
// aErrNotFound when the certificate cannot be read or the directory does not
// exist, aErrConfiguration when the certificate holds no secret key (a public
// certificate). Null for both turns it off again.
aErr aServer_UseCurve(const char* certificateFile, const char* allowDirectory);

// Forgets every client waiting for a reply: a reply still on its way to one of
// them is dropped rather than handed to a later client.
aErr aServer_FlushFIFO(aServer* server);
