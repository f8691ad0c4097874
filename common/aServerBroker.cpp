#include "common/aServerBroker.h"

#include <algorithm>
#include <cstring>

#include "common/aDiscovery.h"
#include "common/aLink.h"
#include "common/aServerFrame.h"
#include "common/aServerRecord.h"
#include "common/aTessarineDebug.h"
#include "common/aUEI.h"
#include "unix/aTime.h"

namespace {

constexpr int kPollMs = 1000;
constexpr uint32_t kAwaitSliceMs = 50;
// Packets of one multi-packet answer at most (a 4 KB byte string and some).
constexpr size_t kMaxAnswerPackets = 256;
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
        verdict.toModule = std::move(pool->frames);
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
        verdict.toModule.push_back(_frame(packet));
        verdict.awaitReply = aServerFrame_NeedsReply(packet);
    }
    aPacket_Destroy(&packet);
    return verdict;
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

uint8_t _any(const aPacket*, const void*)
{
    return 1;
}

// The next packet from the module, awaited in slices so that a stop is not
// held up; null when the module stays silent, the link is down, or the
// server is being stopped.
aPacket* _awaitPacket(uint32_t linkId, zsock_t* pipe)
{
    uint64_t start = aTime_GetMSTicks();
    for (;;) {
        uint64_t elapsed = aTime_GetMSTicks() - start;
        if (elapsed >= aSERVER_REPLY_TIMEOUT_MS || aLink_GetStatus(linkId) != LinkStatus::running)
            return nullptr;
        uint64_t left = aSERVER_REPLY_TIMEOUT_MS - elapsed;
        uint32_t slice = static_cast<uint32_t>(left < kAwaitSliceMs ? left : kAwaitSliceMs);
        if (aPacket* packet = aLink_AwaitFirst(linkId, _any, nullptr, slice))
            return packet;
        if (zsock_events(pipe) & ZMQ_POLLIN)
            return nullptr;
    }
}

// The module's answer, sent to the client as it comes: packets while each is a
// piece with more to come, up to and with the first other packet.
void _relayAnswer(Broker& broker, zsock_t* pipe, const std::string& client)
{
    aServer* server = broker.server;
    for (size_t count = 0; count < kMaxAnswerPackets; ++count) {
        aPacket* packet = _awaitPacket(server->linkId, pipe);
        if (!packet) {
            if (count == 0)
                aTessarine_Trace(aDEBUG_SERVER, "Server: a request got no answer\n");
            return;
        }
        uint8_t bytes[aSERVER_FRAME_MAX];
        size_t length = aServerFrame_FromPacket(packet, bytes, sizeof bytes);
        aZmq_SendTo(server->frontend, client.data(), client.size(), bytes, length);
        bool more = aServerFrame_IsContinuedPiece(packet);
        aPacket_Destroy(&packet);
        if (!more)
            return;
    }
}

// The verdict's frames to the module, in order; then, when the client awaits
// it, the module's answer back to the client.
void _toModule(Broker& broker, zsock_t* pipe, const std::string& client, const aServerClientVerdict& verdict)
{
    uint32_t linkId = broker.server->linkId;
    for (size_t i = 0; i < verdict.toModule.size(); ++i) {
        const aServerFrameBytes& frame = verdict.toModule[i];
        aPacket* packet = aServerFrame_ToPacket(frame.data(), frame.size());
        if (!packet)
            return;
        bool last = i + 1 == verdict.toModule.size();
        // An answer that came after its request was given up belongs to nobody;
        // left queued it would pass for the answer to this request.
        if (last && verdict.awaitReply)
            aLink_DrainPackets(linkId, _any, nullptr);
        aErr put = aLink_PutPacket(linkId, packet);
        aPacket_Destroy(&packet);
        if (put != aErrNone) {
            aTessarine_Trace(aDEBUG_SERVER, "Server: dropped a request it could not queue\n");
            return;
        }
    }
    if (verdict.awaitReply)
        _relayAnswer(broker, pipe, client);
}

void _fromClient(Broker& broker, zsock_t* pipe)
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
        _toModule(broker, pipe, client, verdict);
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
    bool asked =
        frame && zframe_size(frame) >= prefix && memcmp(zframe_data(frame), aDISCOVERY_BEACON_TEXT, prefix) == 0;
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

// A pipe message: a flush signal, or the end. The broker answers every request
// before it takes the next, so between requests no client waits for a reply
// and a flush has nothing to forget; an answer that comes too late is drained
// before the next request.
bool _pipe(zsock_t* pipe)
{
    zframe_t* frame = zframe_recv(pipe);
    bool flush = frame && zframe_size(frame) == 8 && zframe_data(frame)[0] == aSERVER_SIGNAL_FLUSH;
    zframe_destroy(&frame);
    return flush;
}

}  // namespace

void aServerBroker_Actor(zsock_t* pipe, void* args)
{
    Broker broker{static_cast<aServer*>(args), {}, false, 0};
    aServer* server = broker.server;
    zpoller_t* poller = zpoller_new(pipe, server->frontend, server->streaming.bound, nullptr);
    if (poller && server->beaconMode)
        zpoller_add(poller, server->discovery);
    zsock_signal(pipe, poller ? 0 : 1);
    if (!poller)
        return;
    zpoller_set_nonstop(poller, true);  // the server ends by its pipe, not by a caught signal
    for (;;) {
        void* which = zpoller_wait(poller, kPollMs);
        if (which == pipe) {
            if (!_pipe(pipe))
                break;
        } else if (which == server->streaming.bound) {
            _streaming(broker);
        } else if (which == server->frontend) {
            _fromClient(broker, pipe);
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
