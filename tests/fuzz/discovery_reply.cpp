// Arbitrary discovery replies: a direct TCP/IP reply (first byte even) or a 128-byte
// record from a local server or a beacon (first byte odd), taken the way discovery
// takes them. Nothing crashes, only replies of the right sizes are taken, a taken
// record's port name ends inside it, and a spec heard twice counts once.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/discovery/aDiscovery.h"
#include "common/discovery/aDiscoverySeen.h"
#include "common/aLinkSpec.h"

namespace {

void _check(bool condition)
{
    if (!condition)
        std::abort();
}

void _use(const linkSpec& spec)
{
    aDiscoverySeen seen;
    _check(seen.isNew(spec) && !seen.isNew(spec));
    char address[16];
    _check(aDiscovery_ConvertIPv4Interface(spec.ipAddress, address, sizeof address) > 0);
    linkSpec* copy = aLinkSpec_Copy(spec);
    _check(copy != nullptr && std::memcmp(copy, &spec, sizeof spec) == 0);
    aLinkSpec_Destroy(&copy);
}

void _tcpip_reply(const uint8_t* reply, size_t length)
{
    linkSpec spec;
    const bool taken = aDiscovery_SpecFromTCPIPReply(reply, length, 0x0100A8C0, &spec);
    _check(taken == (length >= 8 && length <= aDISCOVERY_TCPIP_MESSAGE_SIZE));
    if (!taken)
        return;
    _check(spec.type == TCPIP && spec.ipAddress == 0x0100A8C0);
    _check(spec.module == reply[1] && spec.router == reply[1] && spec.model <= 0xFF);
    _check(spec.serialNumber == spec.routerSerialNumber);
    _use(spec);
}

void _record(const uint8_t* bytes, size_t length)
{
    linkSpec spec;
    const bool taken = aLinkSpec_FromRecord(bytes, length, &spec);
    _check(taken == (length == sizeof(linkSpec)));
    if (!taken)
        return;
    _check(std::memcmp(&spec, bytes, sizeof spec - 1) == 0);
    _check(strnlen(spec.portName, sizeof spec.portName) < sizeof spec.portName);
    _use(spec);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    if (data[0] % 2 == 0)
        _tcpip_reply(data + 1, size - 1);
    else
        _record(data + 1, size - 1);
    return 0;
}
