#pragma once
// Module discovery: enumerates the modules reachable over one transport and hands
// each to a callback as a linkSpec. Enumerators return how many modules the
// callbacks marked as found; there is no other error result.
#include <cstddef>
#include <cstdint>

#include "common/aLinkSpec.h"

// Called once per module found, on the enumerating thread. The spec is valid
// only during the call. Sets *found to count the module; returns true to go on
// enumerating, false to stop.
typedef bool (*aDiscoveryCallback)(const linkSpec* spec, bool* found, void* ref);

// Enumerates modules of the transport type: USB, direct TCP/IP, or the network
// kinds (4 to 7); other types find nothing. networkInterface is an IPv4 address
// in network byte order, 0 for any. Returns the count, at most 255.
uint8_t aDiscovery_EnumerateModules(linkType type, aDiscoveryCallback callback, void* ref, uint32_t networkInterface);

// Modules served by other programs: local servers by multicast on the loopback
// interface when networkInterface is 0 or 127.0.0.1 (or the host has no IPv4
// interface), otherwise beacons on that interface.
uint8_t aDiscovery_Enumerate_PlexusModules(aDiscoveryCallback callback, void* ref, uint32_t networkInterface);

// A new spec of the module with that serial number, or null.
linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber, uint32_t networkInterface);

// A new spec of the first module with a non-zero serial number, or null.
linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t networkInterface);

// Stores up to capacity IPv4 interface addresses (network byte order) of the
// host's interfaces that are up, loopback excluded; returns how many.
size_t aDiscovery_GetIPv4Interfaces(uint32_t* addresses, size_t capacity);

// Writes the address as dotted text; returns its length, or 0 when the buffer
// is smaller than 16 bytes or conversion fails.
size_t aDiscovery_ConvertIPv4Interface(uint32_t address, char* buffer, size_t size);

// The transports' own enumerations (used by aDiscovery_EnumerateModules).
uint8_t aDiscovery_EnumerateUSB(aDiscoveryCallback callback, void* ref);
uint8_t aDiscovery_EnumerateTCPIP(aDiscoveryCallback callback, void* ref, uint32_t networkInterface);
uint8_t aDiscovery_EnumerateLocalServers(bool localOnly, aDiscoveryCallback callback, void* ref);
uint8_t aDiscovery_EnumerateBeacons(bool localOnly, aDiscoveryCallback callback, void* ref);

// The spec a direct TCP/IP discovery reply describes (see aDiscoveryTCPIP.cpp): false
// unless the reply holds 8 to 16 bytes. sender is its source address, network order.
bool aDiscovery_SpecFromTCPIPReply(const uint8_t* reply, size_t length, uint32_t sender, linkSpec* spec);

// Discovery ports and groups.
constexpr uint16_t aDISCOVERY_TCPIP_REQUEST_PORT = 9888;
constexpr uint16_t aDISCOVERY_TCPIP_REPLY_PORT = 9889;
constexpr const char* aDISCOVERY_TCPIP_GROUP = "232.2.2.2";
constexpr size_t aDISCOVERY_TCPIP_MESSAGE_SIZE = 16;
constexpr const char* aDISCOVERY_LOCAL_GROUP = "224.0.0.7";
constexpr uint16_t aDISCOVERY_LOCAL_REQUEST_PORT = 9850;
constexpr uint16_t aDISCOVERY_LOCAL_REPLY_PORT = 9950;
constexpr unsigned aDISCOVERY_LOCAL_PORT_COUNT = 50;
constexpr uint32_t aDISCOVERY_LOCAL_REQUEST = 0xABCDDCBA;  // sent in host byte order
constexpr uint16_t aDISCOVERY_BEACON_PORT = 8585;
constexpr const char* aDISCOVERY_BEACON_TEXT = "Tessarine2-Discovery";
constexpr size_t aDISCOVERY_MAX_INTERFACES = 50;

// Replies to direct TCP/IP discovery all go to the one reply port, and a unicast reply
// reaches only one of the sockets bound there. Processes on one host therefore take
// turns: each holds an advisory lock on this file (the environment variable may name
// another) for as long as its listener is open, and waits at most
// aDISCOVERY_LOCK_WAIT_MS for it before it listens without.
constexpr const char* aDISCOVERY_LOCK_PATH = "/tmp/tessarine-discovery-9889.lock";
constexpr const char* aDISCOVERY_LOCK_VARIABLE = "UPDATER_DISCOVERY_LOCK";
constexpr uint32_t aDISCOVERY_LOCK_WAIT_MS = 60000;
// The lock file in use: the variable's value when set and not empty, else the default.
const char* aDiscovery_LockPath();
