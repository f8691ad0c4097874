#pragma once
// The byte side of a module's link: the host's bytes are assembled into
// packets (with the link's own packet record) for the module, and the
// module's packets leave as wire bytes.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/aPacket.h"
#include "sim/ModulePacket.h"
#include "sim/VirtualModule.h"

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

// One link of a module over a byte pipe (TCP, the decoded bytes of a serial
// line, USB bulk endpoints): the host's bytes in, the module's bytes out, and
// an optional trace of every packet. A transport uses it from one thread.
class ModuleByteLink {
public:
    struct Output {
        std::vector<uint8_t> bytes;            // for the host, in order
        LinkAction action = LinkAction::None;  // a drop or restart: the transport drops the link
    };

    explicit ModuleByteLink(std::shared_ptr<VirtualModule> module);
    VirtualModule& Module() { return *_module; }

    // A host arrived (a new connection, a line that came back) / left.
    void Connected(Clock::time_point now);
    void Disconnected();
    // Bytes from the host. A drop or restart ends the link: the bytes after the
    // packet that caused it are lost with it.
    Output FromHost(const uint8_t* data, size_t length, Clock::time_point now);
    // What the module sends on its own (heartbeats); also ends its restarts.
    Output Tick(Clock::time_point now);

    // "40F5849A <- 02 03 03 49 20" per packet from the host, "->" to it. Thread-safe.
    void SetTrace(std::function<void(const std::string&)> trace);

private:
    void _out(const Reaction& reaction, Output& output);
    void _trace(const char* direction, const Packet& p);

    std::shared_ptr<VirtualModule> _module;
    PacketAssembler _assembler;
    std::mutex _traceMutex;
    std::function<void(const std::string&)> _traceFn;
};

}  // namespace Sim
