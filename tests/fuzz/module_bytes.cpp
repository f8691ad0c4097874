// Arbitrary bytes from a host to a virtual module (a routing module with one
// module on its bus, both upgrade loaders reachable): whatever comes, the
// module never crashes and every reply it sends is a well-formed packet.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "sim/ModuleConnection.h"
#include "sim/VirtualModule.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Sim::ModuleConfig routerConfig;
    routerConfig.loadPauseMs = routerConfig.rebootPauseMs = 0;
    routerConfig.heartbeatMs = 100;
    Sim::ModuleConfig memberConfig = routerConfig;
    memberConfig.moduleAddress = 4;
    auto router = std::make_shared<Sim::VirtualModule>(routerConfig);
    router->Attach(std::make_shared<Sim::VirtualModule>(memberConfig));
    Sim::ModuleByteLink link(router);
    auto now = Sim::Clock::now();
    link.Connected(now);
    // The input is fed in pieces whose sizes come from the input itself.
    size_t at = 0;
    while (at < size) {
        size_t piece = 1 + data[at] % 40;
        piece = piece < size - at ? piece : size - at;
        auto out = link.FromHost(data + at, piece, now);
        at += piece;
        now += std::chrono::milliseconds(30);
        auto tick = link.Tick(now);
        out.bytes.insert(out.bytes.end(), tick.bytes.begin(), tick.bytes.end());
        // Replies are back-to-back packets: address, length 0..28, payload.
        for (size_t i = 0; i < out.bytes.size();) {
            if (out.bytes[i] == 0 || i + 1 >= out.bytes.size() || out.bytes[i + 1] > 28)
                __builtin_trap();
            i += 2 + out.bytes[i + 1];
            if (i > out.bytes.size())
                __builtin_trap();
        }
        if (out.action != Sim::LinkAction::None)
            link.Connected(now);
    }
    return 0;
}
