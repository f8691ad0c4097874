// Arbitrary frames from several clients through the module server's broker.
// Checks: only whole packets reach the module, only the last frame handed on
// can await a reply, and the pools of unfinished byte strings stay bounded.
#include <cstdlib>
#include <string>
#include <vector>

#include "common/served/aServerBroker.h"
#include "common/served/aServerFrame.h"

namespace {

void _check(bool condition)
{
    if (!condition)
        std::abort();
}

struct Input {
    const uint8_t* data;
    size_t size;
    uint8_t next() { return size ? (size--, *data++) : 0; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Input input{data, size};
    aServerBrokerState state;
    while (input.size) {
        uint8_t event = input.next();
        std::string client(1, static_cast<char>('A' + event % 4));
        size_t length = input.next() % 40;
        std::vector<uint8_t> frame;
        for (size_t i = 0; i < length && input.size; ++i)
            frame.push_back(input.next());
        aServerClientVerdict verdict = aServerBroker_ClientFrame(&state, client, frame.data(), frame.size());
        for (size_t i = 0; i < verdict.toModule.size(); ++i) {
            const aPacket& packet = verdict.toModule[i];
            uint8_t bytes[aSERVER_FRAME_MAX];
            _check(aServerFrame_FromPacket(&packet, bytes, sizeof bytes) == packet.dataSize + 2u);
            bool last = i + 1 == verdict.toModule.size();
            _check(aServerFrame_NeedsReply(&packet) == (last && verdict.awaitReply));
        }
        for (const auto& pool : state.pools.pools)
            _check(!pool.pieces.empty() && pool.pieces.size() <= aSERVER_POOL_TIME_TO_LIVE + 1u);
    }
    return 0;
}
