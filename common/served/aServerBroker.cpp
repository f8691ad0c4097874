#include "common/served/aServerBroker.h"

#include <algorithm>

#include "common/aLink.h"
#include "common/served/aServerFrame.h"
#include "common/served/aServerInFlight.h"
#include "common/served/aZmqPair.h"
#include "common/aTessarineDebug.h"
#include "common/aUEI.h"
#include "unix/aTime.h"

namespace {

constexpr int kPollMs = 1000;
// Requests in flight to the module at most: enough to keep it busy while answers
// travel back, few enough that one client's flood cannot bury the others'.
constexpr size_t kWindow = 16;
// While answers are awaited, new requests and a stop are looked for this often.
constexpr uint32_t kAnswerSliceMs = 5;

using FrameBytes = std::vector<uint8_t>;

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
        pool->pieces.push_back(*packet);
        if (aServerFrame_IsContinuedPiece(packet)) {
            pool->sequence = sequence;
            return true;
        }
        verdict.toModule = std::move(pool->pieces);
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
    aPacket packet;
    if (!aServerFrame_ToPacket(frame, size, &packet))
        return verdict;
    if (aServerFrame_IsStreamEnable(&packet))
        _subscribe(state, identity);
    // A piece with more to come that no pool took belongs to a string whose
    // beginning never came: alone it would only confuse the module.
    bool handled = aUEI_isUEIPayload(&packet) && _pooled(state, identity, &packet, verdict);
    if (!handled && !aServerFrame_IsRouteRequest(&packet) && !aServerFrame_IsContinuedPiece(&packet)) {
        verdict.toModule.push_back(packet);
        verdict.awaitReply = aServerFrame_NeedsReply(&packet);
    }
    return verdict;
}

namespace {

struct Broker {
    aServerBrokerPart* part;
    aServerBrokerState state;
    aServerInFlight flight;
};

// Stream samples: one copy of the frame for every subscriber.
void _streaming(Broker& broker)
{
    zframe_t* frame = zframe_recv(broker.part->samples);
    if (!frame)
        return;
    for (const auto& identity : broker.state.subscribers)
        aZmq_SendTo(broker.part->frontend, identity.data(), identity.size(), zframe_data(frame), zframe_size(frame));
    zframe_destroy(&frame);
}

uint8_t _any(const aPacket*, const void*)
{
    return 1;
}

// The verdict's frames to the module, in order; the last one awaits its answer
// among the requests in flight when the client awaits it.
void _toModule(Broker& broker, const std::string& client, const aServerClientVerdict& verdict)
{
    uint32_t linkId = broker.part->linkId;
    for (size_t i = 0; i < verdict.toModule.size(); ++i) {
        const aPacket* packet = &verdict.toModule[i];
        bool awaited = verdict.awaitReply && i + 1 == verdict.toModule.size();
        // With nothing in flight, whatever is queued is an answer that came after its
        // request was given up: it belongs to nobody.
        if (awaited && broker.flight.requests.empty())
            aLink_DrainPackets(linkId, _any, nullptr);
        aErr put = aLink_PutPacket(linkId, packet);
        if (put == aErrNone && awaited)
            aServerInFlight_Add(&broker.flight, client, packet, aTime_GetMSTicks());
        if (put != aErrNone) {
            aTessarine_Trace(aDEBUG_SERVER, "Server: dropped a request it could not queue\n");
            return;
        }
    }
}

// The next message a client sent, without waiting: its identity and its frame;
// false when none is there. A message of other than two parts is taken and left empty.
bool _receive(zsock_t* frontend, std::string* client, FrameBytes* frame)
{
    void* socket = zsock_resolve(frontend);
    zmq_msg_t part;
    zmq_msg_init(&part);
    if (zmq_msg_recv(&part, socket, ZMQ_DONTWAIT) < 0) {
        zmq_msg_close(&part);
        return false;
    }
    size_t parts = 0;
    for (bool more = true; more;) {
        const auto* data = static_cast<const uint8_t*>(zmq_msg_data(&part));
        if (parts == 0)
            client->assign(reinterpret_cast<const char*>(data), zmq_msg_size(&part));
        else if (parts == 1)
            frame->assign(data, data + zmq_msg_size(&part));
        ++parts;
        more = zmq_msg_more(&part) != 0;
        zmq_msg_close(&part);
        zmq_msg_init(&part);
        // The parts of a message arrive together.
        if (more && zmq_msg_recv(&part, socket, 0) < 0)
            more = false;
    }
    zmq_msg_close(&part);
    if (parts != 2)
        client->clear();
    return true;
}

// Every request the clients have sent, while the window has room: the module
// gets them one after the other, without waiting for the answers in between.
void _fromClients(Broker& broker)
{
    std::string client;
    FrameBytes frame;
    while (broker.flight.requests.size() < kWindow && _receive(broker.part->frontend, &client, &frame)) {
        if (client.empty())
            continue;
        aServerClientVerdict verdict = aServerBroker_ClientFrame(&broker.state, client, frame.data(), frame.size());
        _toModule(broker, client, verdict);
    }
}

// One answer from the module, to the client whose request it answers; one that
// answers no request in flight is dropped.
void _toClient(Broker& broker, const aPacket* answer)
{
    std::string client;
    size_t skipped = 0;
    if (!aServerInFlight_Match(&broker.flight, answer, aTime_GetMSTicks(), &client, &skipped)) {
        aTessarine_Trace(aDEBUG_SERVER, "Server: dropped an answer to no request\n");
        return;
    }
    if (skipped)
        aTessarine_Trace(aDEBUG_SERVER, "Server: %zu request(s) got no answer\n", skipped);
    uint8_t bytes[aSERVER_FRAME_MAX];
    size_t length = aServerFrame_FromPacket(answer, bytes, sizeof bytes);
    aZmq_SendTo(broker.part->frontend, client.data(), client.size(), bytes, length);
}

// Answers while requests are in flight, awaited briefly so that new requests and
// a stop are seen soon; requests give up at their time-out, or at once when the
// link is down.
void _awaitAnswers(Broker& broker)
{
    uint32_t linkId = broker.part->linkId;
    // A client's request wakes the wait too (the frontend's descriptor), so that it
    // joins the others in flight at once.
    int frontendFd = zsock_fd(broker.part->frontend);
    if (aPacket* answer = aLink_AwaitFirstOrWake(linkId, _any, nullptr, kAnswerSliceMs, frontendFd)) {
        _toClient(broker, answer);
        aPacket_Destroy(&answer);
        // Whatever else came with it is there at once.
        while ((answer = aLink_GetFirst(linkId, _any, nullptr)) != nullptr && !broker.flight.requests.empty()) {
            _toClient(broker, answer);
            aPacket_Destroy(&answer);
        }
        aPacket_Destroy(&answer);
    }
    if (aLink_GetStatus(linkId) != LinkStatus::running)
        broker.flight.requests.clear();
    if (aServerInFlight_Expire(&broker.flight, aTime_GetMSTicks()))
        aTessarine_Trace(aDEBUG_SERVER, "Server: a request got no answer\n");
}

// A pipe message: a flush signal (the clients awaiting answers are forgotten;
// answers that still come belong to nobody and are dropped), or the end.
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
    Broker broker{static_cast<aServerBrokerPart*>(args), {}, {}};
    aServerBrokerPart* part = broker.part;
    zpoller_t* poller = zpoller_new(pipe, part->frontend, part->samples, nullptr);
    zsock_signal(pipe, poller ? 0 : 1);
    if (!poller)
        return;
    zpoller_set_nonstop(poller, true);  // the server ends by its pipe, not by a caught signal
    for (;;) {
        // While answers are awaited, the other sockets are only looked at.
        bool awaiting = !broker.flight.requests.empty();
        void* which = zpoller_wait(poller, awaiting ? 0 : kPollMs);
        if (which == pipe) {
            if (!_pipe(pipe))
                break;
            broker.flight.requests.clear();
        } else if (which == part->samples) {
            _streaming(broker);
        } else if (which == part->frontend) {
            _fromClients(broker);
        }
        if (!broker.flight.requests.empty())
            _awaitAnswers(broker);
    }
    zpoller_destroy(&poller);
}
