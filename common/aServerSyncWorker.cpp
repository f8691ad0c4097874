#include "common/aServerSyncWorker.h"

#include <vector>

#include "common/aLink.h"
#include "common/aServerFrame.h"
#include "common/aServerRecord.h"

namespace {

constexpr int kPollMs = 1000;
// Packets of one multi-packet answer at most (a 4 KB byte string and some).
constexpr size_t kMaxAnswerPackets = 256;

uint8_t _any(const aPacket*, const void*)
{
    return 1;
}

void _command(aServer* server, uint8_t command, uint16_t count)
{
    uint8_t frame[aSERVER_CMD_SIZE];
    aServerFrame_Command(command, count, frame);
    aZmq_SendFrame(server->sync.connected, frame, sizeof frame, aZMQ_SEND_ATTEMPTS);
}

// The module's answer: packets while each is a piece with more to come, up to
// and with the first other packet.
std::vector<aPacket*> _collect(aServer* server)
{
    std::vector<aPacket*> answer;
    while (answer.size() < kMaxAnswerPackets) {
        aPacket* packet = aLink_AwaitPacket(server->linkId, aSERVER_REPLY_TIMEOUT_MS);
        if (!packet)
            break;
        answer.push_back(packet);
        if (!aServerFrame_IsContinuedPiece(packet))
            break;
    }
    return answer;
}

void _request(aServer* server, const uint8_t* frame, size_t size)
{
    aPacket* packet = aServerFrame_ToPacket(frame, size);
    if (!packet)
        return;
    bool needsReply = aServerFrame_NeedsReply(packet);
    if (needsReply) {
        // An answer that came after its request was given up belongs to nobody;
        // left queued it would pass for the answer to this request.
        aLink_DrainPackets(server->linkId, _any, nullptr);
    }
    aErr put = aLink_PutPacket(server->linkId, packet);
    aPacket_Destroy(&packet);
    if (!needsReply)
        return;
    if (put != aErrNone) {
        _command(server, SERVER_CMD_DROPPED_PACKET, 0);
        return;
    }
    std::vector<aPacket*> answer = _collect(server);
    if (answer.empty()) {
        _command(server, SERVER_CMD_DROPPED_PACKET, 0);
        return;
    }
    _command(server, SERVER_CMD_INCOMING_PACKETS, static_cast<uint16_t>(answer.size()));
    for (aPacket*& reply : answer) {
        uint8_t bytes[aSERVER_FRAME_MAX];
        size_t length = aServerFrame_FromPacket(reply, bytes, sizeof bytes);
        aZmq_SendFrame(server->sync.connected, bytes, length, aZMQ_SEND_ATTEMPTS);
        aPacket_Destroy(&reply);
    }
}

}  // namespace

void aServerSyncWorker_Actor(zsock_t* pipe, void* args)
{
    aServer* server = static_cast<aServer*>(args);
    zpoller_t* poller = zpoller_new(pipe, server->sync.connected, nullptr);
    zsock_signal(pipe, poller ? 0 : 1);
    if (!poller)
        return;
    zpoller_set_nonstop(poller, true);
    for (;;) {
        void* which = zpoller_wait(poller, kPollMs);
        if (which == pipe)
            break;
        if (which != server->sync.connected)
            continue;
        zframe_t* frame = zframe_recv(server->sync.connected);
        if (frame)
            _request(server, zframe_data(frame), zframe_size(frame));
        zframe_destroy(&frame);
    }
    zpoller_destroy(&poller);
}
