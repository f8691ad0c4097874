#include "sim/ModulePacket.h"

#include <cstdio>

namespace Sim {

std::string Packet::Hex() const
{
    std::string text;
    char b[4];
    snprintf(b, sizeof b, "%02X", address);
    text += b;
    snprintf(b, sizeof b, " %02X", static_cast<unsigned>(payload.size()));
    text += b;
    for (uint8_t byte : payload) {
        snprintf(b, sizeof b, " %02X", byte);
        text += b;
    }
    return text;
}

void PutBE(std::vector<uint8_t>& out, uint32_t value, int bytes)
{
    for (int i = bytes - 1; i >= 0; --i)
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

uint32_t GetBE(const uint8_t* in, int bytes)
{
    uint32_t value = 0;
    for (int i = 0; i < bytes; ++i)
        value = value << 8 | in[i];
    return value;
}

namespace Uei {

bool Parse(const Packet& packet, Request& request)
{
    const auto& p = packet.payload;
    if (p.size() < 3 || !(p[2] & kRequest))
        return false;
    uint8_t flags = p[1] & ~kOptionMask;
    if (flags != kGet && flags != kSet)
        return false;
    request.command = p[0];
    request.option = p[1] & kOptionMask;
    request.index = p[2] & kIndexMask;
    request.set = flags == kSet;
    request.value.assign(p.begin() + 3, p.end());
    return true;
}

static Packet _head(uint8_t address, const Request& request, uint8_t specifierBits)
{
    uint8_t option = request.set ? (request.option | kAck) : request.option;
    return Packet(address, {request.command, option, static_cast<uint8_t>(request.index | specifierBits)});
}

Packet Value(uint8_t address, const Request& request, Type type, uint32_t value)
{
    Packet reply = _head(address, request, 0);
    if (type != Type::Void)
        PutBE(reply.payload, value, static_cast<int>(type));
    return reply;
}

Packet Ack(uint8_t address, const Request& request)
{
    return _head(address, request, 0);
}

Packet Error(uint8_t address, const Request& request, aErr code)
{
    Packet reply = _head(address, request, kError);
    reply.payload.push_back(static_cast<uint8_t>(code));
    return reply;
}

std::vector<Packet> Bytes(uint8_t address, const Request& request, const std::vector<uint8_t>& data)
{
    std::vector<Packet> packets;
    size_t offset = 0;
    uint8_t sequence = 0;
    do {
        size_t n = std::min(kChunk, data.size() - offset);
        Packet chunk = _head(address, request, 0);
        chunk.payload.insert(chunk.payload.end(), data.data() + offset, data.data() + offset + n);
        offset += n;
        bool more = offset < data.size();
        chunk.payload.push_back(static_cast<uint8_t>((sequence & 0x7F) | (more ? 0x80 : 0)));
        packets.push_back(std::move(chunk));
        ++sequence;
    } while (offset < data.size());
    return packets;
}

ByteStringReceiver::Result ByteStringReceiver::Add(const std::vector<uint8_t>& chunk)
{
    if (chunk.empty() || chunk.size() > kChunk + 1) {
        Reset();
        return Result::Error;
    }
    uint8_t sequence = chunk.back() & 0x7F;
    bool more = chunk.back() & 0x80;
    if (sequence == 0) {
        // A string starts with packet 0, also when an earlier one was cut short.
        _active = true;
        _expected = 0;
        _data.clear();
    } else if (!_active) {
        return Result::Ignored;  // the rest of a string already refused
    }
    if (sequence != _expected) {
        Reset();
        return Result::Error;
    }
    _data.insert(_data.end(), chunk.begin(), chunk.end() - 1);
    _expected = (_expected + 1) & 0x7F;
    if (more)
        return Result::More;
    _active = false;
    return Result::Complete;
}

void ByteStringReceiver::Reset()
{
    _active = false;
    _expected = 0;
    _data.clear();
}

}  // namespace Uei
}  // namespace Sim
