// Arbitrary frames from several clients through the module server's broker,
// with a faithful sync worker answering what it is handed. Checks: only whole
// packets reach the module, every request waiting for a reply is the last
// frame handed on, and every reply goes to the client that asked (or, after a
// flush, to nobody).
#include <cstdlib>
#include <deque>
#include <string>
#include <vector>

#include "common/aServerBroker.h"
#include "common/aServerFrame.h"

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

struct Asked {
    std::string client;  // "" once flushed
};

// The sync worker's side: one answer (dropped, or count packets) for the oldest request.
void _answer(aServerBrokerState& state, std::deque<Asked>& asked, Input& input)
{
    if (asked.empty())
        return;
    Asked request = asked.front();
    asked.pop_front();
    uint8_t count = input.next() % 4;
    uint8_t command[aSERVER_CMD_SIZE];
    aServerFrame_Command(count ? SERVER_CMD_INCOMING_PACKETS : SERVER_CMD_DROPPED_PACKET, count, command);
    std::string client;
    _check(!aServerBroker_SyncFrame(&state, command, sizeof command, &client));
    for (uint8_t i = 0; i < count; ++i) {
        // Replies of every size, 3 bytes (a command's size) among them.
        uint8_t length = input.next() % (aPACKET_MAXDATA + 1);
        std::vector<uint8_t> reply(2 + length, 0x5A);
        reply[0] = 2;
        reply[1] = length;
        client = "?";
        bool routed = aServerBroker_SyncFrame(&state, reply.data(), reply.size(), &client);
        _check(routed == !request.client.empty());
        if (routed)
            _check(client == request.client);
    }
    _check(state.expected == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Input input{data, size};
    aServerBrokerState state;
    std::deque<Asked> asked;
    while (input.size) {
        uint8_t event = input.next();
        if (event >= 0xF8) {
            aServerBroker_Flush(&state);
            for (auto& request : asked)
                request.client.clear();
            continue;
        }
        if (event >= 0xE0) {
            _answer(state, asked, input);
            continue;
        }
        std::string client(1, static_cast<char>('A' + event % 4));
        size_t length = input.next() % 40;
        std::vector<uint8_t> frame;
        for (size_t i = 0; i < length && input.size; ++i)
            frame.push_back(input.next());
        aServerClientVerdict verdict = aServerBroker_ClientFrame(&state, client, frame.data(), frame.size());
        for (size_t i = 0; i < verdict.toSync.size(); ++i) {
            const auto& piece = verdict.toSync[i];
            aPacket* packet = aServerFrame_ToPacket(piece.data(), piece.size());
            _check(packet != nullptr);
            bool last = i + 1 == verdict.toSync.size();
            _check(aServerFrame_NeedsReply(packet) == (last && verdict.awaitReply));
            aPacket_Destroy(&packet);
        }
        if (!verdict.toSync.empty()) {
            aServerBroker_Sent(&state, client, verdict);
            if (verdict.awaitReply)
                asked.push_back({client});
        }
        _check(state.waiting.size() == asked.size());
        for (const auto& pool : state.pools.pools)
            _check(!pool.frames.empty() && pool.frames.size() <= 128);
    }
    while (!asked.empty()) {
        uint8_t none[1] = {0};
        Input empty{none, 0};
        _answer(state, asked, empty);
    }
    _check(state.waiting.empty());
    return 0;
}
