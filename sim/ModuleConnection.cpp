#include "sim/ModuleConnection.h"

#include <cstdio>
#include <stdexcept>

namespace Sim {

PacketAssembler::PacketAssembler() : _packet(aPacket_Create())
{
    if (!_packet)
        throw std::bad_alloc();
}

PacketAssembler::~PacketAssembler()
{
    aPacket_Destroy(&_packet);
}

void PacketAssembler::Reset()
{
    aPacket_Reset(_packet);
}

void PacketAssembler::Feed(const uint8_t* data, size_t length, const std::function<void(const Packet&)>& onPacket)
{
    for (size_t i = 0; i < length; ++i) {
        if (aPacket_AddByte(_packet, data[i]) != aErrNone) {
            ++_refused;
            aPacket_Reset(_packet);
            continue;
        }
        if (!aPacket_IsComplete(_packet))
            continue;
        Packet p(_packet->address, std::vector<uint8_t>(_packet->data, _packet->data + _packet->dataSize));
        aPacket_Reset(_packet);
        onPacket(p);
    }
}

std::vector<uint8_t> WireBytes(const Packet& packet)
{
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

std::vector<uint8_t> WireBytes(const std::vector<Packet>& packets)
{
    std::vector<uint8_t> all;
    for (const Packet& p : packets) {
        std::vector<uint8_t> w = WireBytes(p);
        all.insert(all.end(), w.begin(), w.end());
    }
    return all;
}

ModuleByteLink::ModuleByteLink(std::shared_ptr<VirtualModule> module) : _module(std::move(module)) {}

void ModuleByteLink::SetTrace(std::function<void(const std::string&)> trace)
{
    std::lock_guard lock(_traceMutex);
    _traceFn = std::move(trace);
}

void ModuleByteLink::_trace(const char* direction, const Packet& p)
{
    std::lock_guard lock(_traceMutex);
    if (!_traceFn)
        return;
    char head[24];
    snprintf(head, sizeof head, "%08X %s ", _module->SerialNumber(), direction);
    _traceFn(head + p.Hex());
}

void ModuleByteLink::Connected(Clock::time_point now)
{
    _assembler.Reset();
    _module->HostConnected(now);
}

void ModuleByteLink::Disconnected()
{
    _assembler.Reset();
    _module->HostDisconnected();
}

void ModuleByteLink::_out(const Reaction& reaction, Output& output)
{
    for (const Packet& p : reaction.packets) {
        _trace("->", p);
        std::vector<uint8_t> wire = WireBytes(p);
        output.bytes.insert(output.bytes.end(), wire.begin(), wire.end());
    }
    if (output.action == LinkAction::None)
        output.action = reaction.action;
}

ModuleByteLink::Output ModuleByteLink::FromHost(const uint8_t* data, size_t length, Clock::time_point now)
{
    Output output;
    for (size_t i = 0; i < length && output.action == LinkAction::None; ++i) {
        _assembler.Feed(&data[i], 1, [&](const Packet& p) {
            _trace("<-", p);
            _out(_module->Handle(p, now), output);
        });
    }
    if (output.action != LinkAction::None)
        _assembler.Reset();
    return output;
}

ModuleByteLink::Output ModuleByteLink::Tick(Clock::time_point now)
{
    Output output;
    _out(_module->Poll(now), output);
    return output;
}

}  // namespace Sim
