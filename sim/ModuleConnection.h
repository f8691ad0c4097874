#pragma once
// The byte side of a module's link: the host's bytes are assembled into
// packets (with the link's own packet record) for the module, and the
// module's packets leave as wire bytes.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "common/aPacket.h"
#include "sim/ModulePacket.h"

namespace Sim {

class PacketAssembler {
public:
    PacketAssembler();
    ~PacketAssembler();
    PacketAssembler(const PacketAssembler&) = delete;
    PacketAssembler& operator=(const PacketAssembler&) = delete;

    // Calls onPacket for every packet the bytes complete. A byte the packet
    // record refuses drops the partial packet (the host re-synchronises).
    void Feed(const uint8_t* data, size_t length, const std::function<void(const Packet&)>& onPacket);
    void Reset();
    uint64_t Refused() const { return _refused; }

private:
    aPacket* _packet;
    uint64_t _refused = 0;
};

// Address, length and payload of the packet, as they travel.
std::vector<uint8_t> WireBytes(const Packet& packet);
// The wire bytes of several packets back to back.
std::vector<uint8_t> WireBytes(const std::vector<Packet>& packets);

}  // namespace Sim
