#pragma once
// How to reach one module: transport, module and router addresses, and the
// transport's own address. The 128-byte record also travels unchanged in
// discovery replies, so its layout is a wire format (little-endian, the IPv4
// address in network byte order).
#include <cstddef>
#include <cstdint>

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

typedef struct linkSpec {
    linkType type;
    uint32_t serialNumber;
    uint32_t module;              // 0 until the address has been learned
    uint32_t router;              // address of the routing module; 0 when none
    uint32_t routerSerialNumber;
    uint32_t model;               // 0 matches any model in enumeration
    union {
        uint32_t usbId;           // USB: the serial number again
        uint32_t ipAddress;       // TCP/IP and network clients, network byte order
        uint32_t baudRate;        // serial
    };
    union {
        uint16_t ipPort;          // TCP/IP and network clients
        char portName[100];       // serial: NUL-terminated device name
    };
} linkSpec;

static_assert(sizeof(linkSpec) == 128, "linkSpec is a 128-byte wire record");
static_assert(offsetof(linkSpec, model) == 20 && offsetof(linkSpec, usbId) == 24 &&
                  offsetof(linkSpec, ipPort) == 28 && offsetof(linkSpec, portName) == 28,
              "linkSpec field offsets are part of the wire format");
