#pragma once
// UDP multicast endpoints: one socket joined to a group on one interface, either
// sending to the group or receiving from it. Used by the local-server discovery
// on the loopback interface.
#include <cstddef>
#include <cstdint>

struct MulticastEndpoint;

// A new endpoint for the group (IPv4, network byte order) and port on the
// interface address (network byte order; 0 means 127.0.0.1). A receiver binds
// the port with address reuse; a sender does not bind. TTL 1, loopback on,
// receive time-out 1 s. Null on any failure.
MulticastEndpoint* aMulticast_Create(uint32_t interfaceAddress, uint32_t groupAddress, uint16_t port, bool sender);

// Sends one datagram to the group: bytes sent; -1 on failure, -2 for no
// endpoint, -3 for a receiver.
int aMulticast_Send(MulticastEndpoint* endpoint, const void* data, size_t length);

// Receives one datagram of up to size bytes: bytes received; -1 on failure or
// time-out, -2 for no endpoint, -3 for a sender.
int aMulticast_Receive(MulticastEndpoint* endpoint, void* buffer, size_t size);

// Closes the socket, frees the endpoint and nulls the caller's pointer: 0, or
// -2 when there is none.
int aMulticast_Destroy(MulticastEndpoint** endpoint);

// True when no socket of this host is bound to the UDP port. Endpoints bind
// with address reuse, so creating one is no test of whether another program
// holds the port; this probe binds without it.
bool aMulticast_IsPortFree(uint16_t port);

// The endpoint's socket descriptor (for polling beside other sockets), -1 for none.
int aMulticast_GetSocket(const MulticastEndpoint* endpoint);
