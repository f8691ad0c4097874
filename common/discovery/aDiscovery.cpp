#include "common/discovery/aDiscovery.h"

#include <arpa/inet.h>
#include <czmq.h>

#include <cstring>

#include "common/discovery/zBeaconInterface.h"

namespace {

constexpr uint32_t kLoopback = 0x0100007F;  // 127.0.0.1 in network byte order

struct FindReference {
    linkSpec* spec;
};

bool _match_serial(const linkSpec* spec, bool* found, void* ref)
{
    linkSpec* wanted = static_cast<FindReference*>(ref)->spec;
    if (spec->serialNumber != wanted->serialNumber)
        return true;
    *wanted = *spec;
    *found = true;
    return false;
}

bool _match_first(const linkSpec* spec, bool* found, void* ref)
{
    if (spec->serialNumber == 0)
        return true;
    *static_cast<FindReference*>(ref)->spec = *spec;
    *found = true;
    return false;
}

linkSpec* _find(linkType type, uint32_t serialNumber, uint32_t networkInterface, aDiscoveryCallback match)
{
    linkSpec* spec = aLinkSpec_Create(type);
    if (!spec)
        return nullptr;
    spec->serialNumber = serialNumber;
    FindReference reference{spec};
    if (aDiscovery_EnumerateModules(type, match, &reference, networkInterface) == 0)
        aLinkSpec_Destroy(&spec);
    return spec;
}

}  // namespace

uint8_t aDiscovery_EnumerateModules(linkType type, aDiscoveryCallback callback, void* ref, uint32_t networkInterface)
{
    if (!callback)
        return 0;
    switch (type) {
    case USB:
        return aDiscovery_EnumerateUSB(callback, ref);
    case TCPIP:
        return aDiscovery_EnumerateTCPIP(callback, ref, networkInterface);
    case PLEXUS:
    case PLEXUS_USB:
    case PLEXUS_TCPIP:
    case PLEXUS_SERIAL:
        return aDiscovery_Enumerate_PlexusModules(callback, ref, networkInterface);
    default:
        return 0;
    }
}

uint8_t aDiscovery_Enumerate_PlexusModules(aDiscoveryCallback callback, void* ref, uint32_t networkInterface)
{
    uint32_t interfaces[aDISCOVERY_MAX_INTERFACES];
    size_t count = aDiscovery_GetIPv4Interfaces(interfaces, aDISCOVERY_MAX_INTERFACES);
    if (count == 0 || networkInterface == 0 || networkInterface == kLoopback)
        return aDiscovery_EnumerateLocalServers(true, callback, ref);

    char text[INET_ADDRSTRLEN];
    if (aDiscovery_ConvertIPv4Interface(networkInterface, text, sizeof text) == 0 ||
        !zBeaconInterface_backupSetAndLock(text))
        return 0;
    uint8_t found = aDiscovery_EnumerateBeacons(false, callback, ref);
    zBeaconInterface_restoreAndUnlock();
    return found;
}

linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber, uint32_t networkInterface)
{
    return _find(type, serialNumber, networkInterface, _match_serial);
}

linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t networkInterface)
{
    return _find(type, 0, networkInterface, _match_first);
}

size_t aDiscovery_GetIPv4Interfaces(uint32_t* addresses, size_t capacity)
{
    if (!addresses || capacity == 0)
        return 0;
    ziflist_t* list = ziflist_new();
    if (!list)
        return 0;
    size_t count = 0;
    for (const char* name = ziflist_first(list); name && count < capacity; name = ziflist_next(list)) {
        in_addr address;
        const char* text = ziflist_address(list);
        if (text && inet_pton(AF_INET, text, &address) == 1)
            addresses[count++] = address.s_addr;
    }
    ziflist_destroy(&list);
    return count;
}

size_t aDiscovery_ConvertIPv4Interface(uint32_t address, char* buffer, size_t size)
{
    if (!buffer || size < INET_ADDRSTRLEN)
        return 0;
    in_addr in{address};
    if (!inet_ntop(AF_INET, &in, buffer, size))
        return 0;
    return strlen(buffer);
}
