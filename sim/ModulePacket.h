#pragma once
// The module's view of link packets and of the entity (UEI) encoding: parsing
// the host's requests and building the replies a module sends.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "unix/aError.h"

namespace Sim {

// One link packet: module address and payload (at most 28 bytes).
struct Packet {
    uint8_t address = 0;
    std::vector<uint8_t> payload;

    Packet() = default;
    Packet(uint8_t address, std::vector<uint8_t> payload) : address(address), payload(std::move(payload)) {}
    bool operator==(const Packet&) const = default;
    // "02 03 49 20": address, length and payload bytes in hex.
    std::string Hex() const;
};

// What the transport does after a module has handled a packet.
enum class LinkAction {
    None,
    Drop,     // the link drops; the module stays as it is
    Restart,  // the link drops and the module restarts after its pause
};

// The firmware a module runs, and the one a restart brings up.
enum class Firmware { Application, Loader };

// A module's answer to one packet or one tick of its clock.
struct Reaction {
    std::vector<Packet> packets;
    LinkAction action = LinkAction::None;
    Firmware restartInto = Firmware::Application;
};

// Reserved link addresses and commands.
constexpr uint8_t kMagicAddress = 0xAD;
constexpr uint8_t kRouteAddress = 0xAF;
constexpr uint8_t kCmdHeartbeat = 0;
constexpr uint8_t kCmdSystem = 3;
constexpr uint8_t kCmdI2C = 8;
constexpr uint8_t kCmdDebug = 23;
constexpr uint8_t kCmdModuleInfo = 73;
constexpr uint8_t kCmdStore = 92;
constexpr uint8_t kCmdUpgrade = 95;

// Big-endian value bytes, as every entity payload carries them.
void PutBE(std::vector<uint8_t>& out, uint32_t value, int bytes);
uint32_t GetBE(const uint8_t* in, int bytes);

namespace Uei {

constexpr uint8_t kGet = 0x40;
constexpr uint8_t kSet = 0x80;
constexpr uint8_t kAck = 0xC0;
constexpr uint8_t kOptionMask = 0x3F;
constexpr uint8_t kRequest = 0x20;  // specifier bit of every host request
constexpr uint8_t kError = 0x80;    // specifier bit of an error reply
constexpr uint8_t kIndexMask = 0x1F;
constexpr size_t kChunk = 24;  // data bytes per byte-string packet

enum class Type { Void = 0, Byte = 1, Short = 2, Int = 4, Bytes = 5 };

// A UEI request from the host (get or set, never both).
struct Request {
    uint8_t command = 0;
    uint8_t option = 0;  // bare option code
    uint8_t index = 0;
    bool set = false;
    std::vector<uint8_t> value;  // bytes after the specifier
};

// False for packets that are not a well-formed host request (too short,
// specifier without the request bit, option with neither or both of get/set).
bool Parse(const Packet& packet, Request& request);

Packet Value(uint8_t address, const Request& request, Type type, uint32_t value);
Packet Ack(uint8_t address, const Request& request);
// Error reply: the request's option form (bare for a get, acknowledged for a
// set), the error bit in the specifier and the code as the value byte.
Packet Error(uint8_t address, const Request& request, aErr code);
// A byte string as sequenced chunks (one packet with sequence byte 0 when empty).
std::vector<Packet> Bytes(uint8_t address, const Request& request, const std::vector<uint8_t>& data);

// Collects the chunks of a byte string the host sets.
class ByteStringReceiver {
public:
    enum class Result { More, Complete, Error, Ignored };
    // The chunk's payload after command, option and specifier (data + sequence byte).
    Result Add(const std::vector<uint8_t>& chunk);
    const std::vector<uint8_t>& Data() const { return _data; }
    void Reset();

private:
    bool _active = false;
    uint8_t _expected = 0;
    std::vector<uint8_t> _data;
};

}  // namespace Uei
}  // namespace Sim
