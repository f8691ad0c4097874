#include "sim/ModuleConnection.h"

#include <stdexcept>

namespace Sim {

PacketAssembler::PacketAssembler() : _packet(aPacket_Create()) {
    if (!_packet) throw std::bad_alloc();
}

PacketAssembler::~PacketAssembler() { aPacket_Destroy(&_packet); }

void PacketAssembler::Reset() { aPacket_Reset(_packet); }

void PacketAssembler::Feed(const uint8_t* data, size_t length, const std::function<void(const Packet&)>& onPacket) {
    for (size_t i = 0; i < length; ++i) {
        if (aPacket_AddByte(_packet, data[i]) != aErrNone) {
            ++_refused;
            aPacket_Reset(_packet);
            continue;
        }
        if (!aPacket_IsComplete(_packet)) continue;
        Packet p(_packet->address, std::vector<uint8_t>(_packet->data, _packet->data + _packet->dataSize));
        aPacket_Reset(_packet);
        onPacket(p);
    }
}

std::vector<uint8_t> WireBytes(const Packet& packet) {
    aPacket* p = aPacket_CreateWithData(packet.address, static_cast<uint8_t>(packet.payload.size()),
                                        packet.payload.data() ? packet.payload.data() : &packet.address);
    if (!p || packet.payload.size() > aPACKET_MAXDATA) {
        aPacket_Destroy(&p);
        throw std::length_error("module packet longer than a link packet");
    }
    std::vector<uint8_t> wire(aPACKET_MAXWIRE);
    size_t n = 0;
    aPacket_GetBytes(p, wire.data(), wire.size(), &n);
    aPacket_Destroy(&p);
    wire.resize(n);
    return wire;
}

std::vector<uint8_t> WireBytes(const std::vector<Packet>& packets) {
    std::vector<uint8_t> all;
    for (const Packet& p : packets) {
        std::vector<uint8_t> w = WireBytes(p);
        all.insert(all.end(), w.begin(), w.end());
    }
    return all;
}

}  // namespace Sim
