#pragma once
// Link specifiers: how to reach one module. The 128-byte record travels byte for
// byte in network discovery replies, so its layout is also a wire format:
// little-endian fields, the IPv4 address in network byte order.
#include <bit>
#include <cstddef>
#include <cstdint>

#include "unix/aError.h"

typedef int32_t linkType;

enum : linkType {
    USB = 1,            // module on USB, opened by serial number
    TCPIP = 2,          // module with its own network interface
    SERIAL = 3,         // module on a packetized serial port
    PLEXUS = 4,         // network client of a served module
    PLEXUS_USB = 5,     // served module whose device link is USB
    PLEXUS_TCPIP = 6,   // served module whose device link is TCP/IP
    PLEXUS_SERIAL = 7,  // served module whose device link is serial
};

// Whether the type reaches a module through a module server (types 4 to 7).
constexpr bool aLinkSpec_IsServed(linkType type)
{
    return type >= PLEXUS && type <= PLEXUS_SERIAL;
}

// Longest serial port name a record keeps, without its terminator.
constexpr size_t aLINKSPEC_PORTNAME_MAX = 99;

struct linkSpec {
    linkType type;
    uint32_t serialNumber;
    uint32_t module;  // module address; 0 until learned
    uint32_t router;  // routing module's address; 0 when none
    uint32_t routerSerialNumber;
    uint32_t model;  // 0 matches any model in enumeration
    union {
        uint32_t usbId;      // USB: the serial number again
        uint32_t ipAddress;  // TCP/IP and network kinds, network byte order
        uint32_t baudRate;   // serial port
    };
    union {
        uint16_t ipPort;                            // TCP/IP and network kinds
        char portName[aLINKSPEC_PORTNAME_MAX + 1];  // serial port, NUL-terminated
    };
};

static_assert(std::endian::native == std::endian::little,
              "linkSpec records are exchanged byte for byte in little-endian order");
static_assert(sizeof(linkSpec) == 128, "linkSpec is a 128-byte wire record");
static_assert(offsetof(linkSpec, type) == 0);
static_assert(offsetof(linkSpec, serialNumber) == 4);
static_assert(offsetof(linkSpec, module) == 8);
static_assert(offsetof(linkSpec, router) == 12);
static_assert(offsetof(linkSpec, routerSerialNumber) == 16);
static_assert(offsetof(linkSpec, model) == 20);
static_assert(offsetof(linkSpec, ipAddress) == 24);
static_assert(offsetof(linkSpec, ipPort) == 28);
static_assert(offsetof(linkSpec, portName) == 28);

// A new zeroed record of the given transport type; null when memory is exhausted.
linkSpec* aLinkSpec_Create(linkType type);

// A new heap copy of the record; null when memory is exhausted.
linkSpec* aLinkSpec_Copy(linkSpec spec);

// A record received from the network (a local server's or a beacon's reply): true when
// length is exactly the record's size, with the bytes copied into *spec and the port
// name cut to its last byte, so that it always ends within the record whatever came.
bool aLinkSpec_FromRecord(const void* bytes, size_t length, linkSpec* spec);

// Frees the record and nulls the caller's pointer; aErrParam when there is none.
aErr aLinkSpec_Destroy(linkSpec** spec);
