#include "common/aServerBroker.h"

#include <algorithm>
#include <cstring>

#include "common/aDiscovery.h"
#include "common/aServerFrame.h"
#include "common/aServerRecord.h"
#include "common/aTessarineDebug.h"
#include "common/aUEI.h"
#include "unix/aTime.h"

namespace {

constexpr int kPollMs = 1000;
constexpr int kBeaconIntervalMs = 100;
constexpr uint64_t kPublishMs = 2000;

aServerFrameBytes _frame(const aPacket* packet)
{
    aServerFrameBytes frame(aSERVER_FRAME_MAX);
    frame.resize(aServerFrame_FromPacket(packet, frame.data(), frame.size()));
    return frame;
}

void _subscribe(aServerBrokerState* state, const std::string& identity)
{
    if (std::find(state->subscribers.begin(), state->subscribers.end(), identity) == state->subscribers.end())
        state->subscribers.push_back(identity);
}

// A UEI packet: pieces of a byte string are pooled per client until the last.
// True when the packet was taken care of here.
bool _pooled(aServerBrokerState* state, const std::string& identity, const aPacket* packet,
             aServerClientVerdict& verdict)
{
    aServerUEIPools_Age(&state->pools);
    uint8_t sequence = aUEI_getBytesSequence(packet);
    if (aServerUEIPool* pool = aServerUEIPools_Find(&state->pools, identity)) {
        // Sequence numbers are 7 bits: a long string counts past 127 from 0 again.
        if (sequence != ((pool->sequence + 1) & ueiBYTES_SEQUENCE_MASK))
            return true;  // out of order: dropped, the pool ages away
        pool->frames.push_back(_frame(packet));
        if (aServerFrame_IsContinuedPiece(packet)) {
            pool->sequence = sequence;
            return true;
        }
        verdict.toSync = std::move(pool->frames);
        // The last piece decides, as for a lone packet: a string that ends in a
        // route packet gets no reply from the module, so none is awaited.
        verdict.awaitReply = aServerFrame_NeedsReply(packet);
        aServerUEIPools_Remove(&state->pools, identity);
        return true;
    }
    if (packet->dataSize == aPACKET_MAXDATA && aServerFrame_IsContinuedPiece(packet) && sequence == 0) {
        aServerUEIPools_Start(&state->pools, identity, packet);
        return true;
    }
    return false;
}

}  // namespace

aServerClientVerdict aServerBroker_ClientFrame(aServerBrokerState* state, const std::string& identity,
                                               const uint8_t* frame, size_t size)
{
    aServerClientVerdict verdict;
    aPacket* packet = aServerFrame_ToPacket(frame, size);
    if (!packet)
        return verdict;
    if (aServerFrame_IsStreamEnable(packet))
        _subscribe(state, identity);
    // A piece with more to come that no pool took belongs to a string whose
    // beginning never came: alone it would only confuse the module.
    bool handled = aUEI_isUEIPayload(packet) && _pooled(state, identity, packet, verdict);
    if (!handled && !aServerFrame_IsRouteRequest(packet) && !aServerFrame_IsContinuedPiece(packet)) {
        verdict.toSync.push_back(_frame(packet));
        verdict.awaitReply = aServerFrame_NeedsReply(packet);
    }
    aPacket_Destroy(&packet);
    return verdict;
}

void aServerBroker_Sent(aServerBrokerState* state, const std::string& identity, const aServerClientVerdict& verdict)
{
    if (verdict.awaitReply)
        state->waiting.push_back(identity);
}

bool aServerBroker_SyncFrame(aServerBrokerState* state, const uint8_t* frame, size_t size, std::string* client)
{
    // Reply frames announced by a command are replies whatever their size, so a
    // 3-byte packet is never taken for a command.
    if (state->expected == 0 && size == aSERVER_CMD_SIZE) {
        if (state->waiting.empty())
            return false;
        std::string identity = std::move(state->waiting.front());
        state->waiting.pop_front();
        if (frame[0] == SERVER_CMD_INCOMING_PACKETS) {
            uint16_t count = static_cast<uint16_t>(frame[1] << 8 | frame[2]);
            for (uint16_t i = 0; i < count; ++i)
                state->waiting.push_front(identity);
            state->expected = count;
        }
        return false;
    }
    if (state->expected > 0)
        state->expected--;
    if (state->waiting.empty())
        return false;
    *client = std::move(state->waiting.front());
    state->waiting.pop_front();
    return !client->empty();
}

void aServerBroker_Flush(aServerBrokerState* state)
{
    for (auto& identity : state->waiting)
        identity.clear();
}

namespace {

struct Broker {
    aServer* server;
    aServerBrokerState state;
    bool publishing = false;
    uint64_t publishStartMs = 0;
};

// Stream samples: one copy of the frame for every subscriber.
void _streaming(Broker& broker)
{
    zframe_t* frame = zframe_recv(broker.server->streaming.bound);
    if (!frame)
        return;
    for (const auto& identity : broker.state.subscribers)
        aZmq_SendTo(broker.server->frontend, identity.data(), identity.size(), zframe_data(frame), zframe_size(frame));
    zframe_destroy(&frame);
}

void _fromSync(Broker& broker)
{
    zframe_t* frame = zframe_recv(broker.server->sync.bound);
    if (!frame)
        return;
    std::string client;
    if (aServerBroker_SyncFrame(&broker.state, zframe_data(frame), zframe_size(frame), &client))
        aZmq_SendTo(broker.server->frontend, client.data(), client.size(), zframe_data(frame), zframe_size(frame));
    zframe_destroy(&frame);
}

void _fromClient(Broker& broker)
{
    zmsg_t* message = zmsg_recv(broker.server->frontend);
    if (!message)
        return;
    zframe_t* identity = zmsg_pop(message);
    zframe_t* frame = zmsg_pop(message);
    if (identity && frame && zmsg_size(message) == 0) {
        std::string client(reinterpret_cast<const char*>(zframe_data(identity)), zframe_size(identity));
        aServerClientVerdict verdict =
            aServerBroker_ClientFrame(&broker.state, client, zframe_data(frame), zframe_size(frame));
        bool sent = !verdict.toSync.empty();
        for (const auto& piece : verdict.toSync)
            sent = sent && aZmq_SendFrame(broker.server->sync.bound, piece.data(), piece.size(), 1);
        // A request that could not be handed on waits for nothing.
        if (sent)
            aServerBroker_Sent(&broker.state, client, verdict);
        else if (!verdict.toSync.empty())
            aTessarine_Trace(aDEBUG_SERVER, "Server: dropped a request it could not queue\n");
    }
    zframe_destroy(&identity);
    zframe_destroy(&frame);
    zmsg_destroy(&message);
}

// A discovery beacon: a client looking for servers gets our spec for 2 s.
void _beacon(Broker& broker)
{
    aServer* server = broker.server;
    char* sender = zstr_recv(server->discovery);
    zframe_t* frame = sender ? zframe_recv(server->discovery) : nullptr;
    size_t prefix = strlen(aDISCOVERY_BEACON_TEXT);
    bool asked = frame && zframe_size(frame) >= prefix && memcmp(zframe_data(frame), aDISCOVERY_BEACON_TEXT, prefix) == 0;
    if (asked && server->model != 0) {
        in_addr from{};
        bool foreign = inet_pton(AF_INET, sender, &from) != 1 || from.s_addr != server->beaconHost;
        if (server->localOnly && foreign) {
            // Counted as a publication, so that nothing is published for a while.
            aTessarine_Trace(aDEBUG_SERVER, "We are in local mode, ignoring(1)\n");
            if (!broker.publishing) {
                broker.publishing = true;
                broker.publishStartMs = aTime_GetMSTicks();
            }
        } else if (!broker.publishing) {
            linkSpec spec = aServer_NetworkSpec(server);
            zsock_send(server->discovery, "sbi", "PUBLISH", &spec, sizeof spec, kBeaconIntervalMs);
            broker.publishing = true;
            broker.publishStartMs = aTime_GetMSTicks();
        }
    }
    zframe_destroy(&frame);
    zstr_free(&sender);
}

// A pipe message: a flush signal, or the end.
bool _pipe(Broker& broker, zsock_t* pipe)
{
    zframe_t* frame = zframe_recv(pipe);
    bool flush = frame && zframe_size(frame) == 8 && zframe_data(frame)[0] == aSERVER_SIGNAL_FLUSH;
    zframe_destroy(&frame);
    if (flush)
        aServerBroker_Flush(&broker.state);
    return flush;
}

}  // namespace

void aServerBroker_Actor(zsock_t* pipe, void* args)
{
    Broker broker{static_cast<aServer*>(args), {}, false, 0};
    aServer* server = broker.server;
    zpoller_t* poller = zpoller_new(pipe, server->sync.bound, server->frontend, server->streaming.bound, nullptr);
    if (poller && server->beaconMode)
        zpoller_add(poller, server->discovery);
    zsock_signal(pipe, poller ? 0 : 1);
    if (!poller)
        return;
    zpoller_set_nonstop(poller, true);  // the server ends by its pipe, not by a caught signal
    for (;;) {
        void* which = zpoller_wait(poller, kPollMs);
        if (which == pipe) {
            if (!_pipe(broker, pipe))
                break;
        } else if (which == server->streaming.bound) {
            _streaming(broker);
        } else if (which == server->sync.bound) {
            _fromSync(broker);
        } else if (which == server->frontend) {
            _fromClient(broker);
        } else if (which && which == server->discovery) {
            _beacon(broker);
        }
        if (broker.publishing && aTime_GetMSTicks() - broker.publishStartMs > kPublishMs) {
            zstr_sendx(server->discovery, "SILENCE", nullptr);
            broker.publishing = false;
        }
    }
    zpoller_destroy(&poller);
}
