// The module server against raw ZeroMQ clients: each frame a client sends is
// checked for what reaches the module and what comes back, and to whom.
#include <arpa/inet.h>
#include <czmq.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/discovery/aDiscovery.h"
#include "common/aLink.h"
#include "common/served/aServerFrame.h"
#include "common/served/aServerZeroMQ.h"
#include "common/discovery/zBeaconInterface.h"
#include "support/PrivateNetwork.h"
#include "support/ScriptedModule.h"

using testsupport::ScriptedModule;
using testsupport::WirePacket;

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
constexpr uint8_t kAddress = 2;

// A module that answers every request, as modules do, with its command, option
// and index: the request with bit 5 of its last byte flipped; it never answers
// packets to address 0x40; a UEI get of
// option 0x4A is answered with a two-packet byte string.
std::vector<WirePacket> _answer(const WirePacket& request)
{
    // Like a module, nothing for a piece with more to come.
    bool continued = request.payload.size() == 28 && (request.payload[27] & 0x80);
    if (request.address == 0x40 || continued)
        return {};
    if (request.payload.size() == 3 && request.payload[1] == 0x4A) {
        WirePacket first{kAddress, Bytes(28, 0x61)};
        first.payload[0] = request.payload[0];
        first.payload[1] = 0x0A;
        first.payload[2] = request.payload[2];
        first.payload[27] = 0x80;
        WirePacket last{kAddress, {request.payload[0], 0x0A, request.payload[2], 0x62, 0x01}};
        return {first, last};
    }
    Bytes reply = request.payload;
    if (!reply.empty())
        reply.back() ^= 0x20;
    return {WirePacket{kAddress, reply}};
}

// A device link to a scripted module, served on 127.0.0.1.
struct ServedPeer {
    ScriptedModule module{kAddress};
    uint32_t deviceId = 0;
    aServer* server = nullptr;
    uint16_t port = 0;

    ServedPeer()
    {
        module.setHandler(_answer);
        deviceId = aLink_CreateTCPIP(0x12345678, htonl(INADDR_LOOPBACK), module.port());
        server = aServer_Create(deviceId, 0, 1);
        if (server && aServer_Start(server) == aErrNone)
            aServer_GetPort(server, &port);
    }
    ~ServedPeer()
    {
        aServer_Destroy(&server);
        aLink_Destroy(&deviceId);
    }
    // Payloads the module received, route packets of the device link left out.
    std::vector<Bytes> received()
    {
        std::vector<Bytes> payloads;
        for (const WirePacket& packet : module.received())
            if (packet.address != cmdFORCEROUTE)
                payloads.push_back(packet.payload);
        return payloads;
    }
};

// A raw client: a DEALER on the server's frontend.
struct RawClient {
    zsock_t* socket = nullptr;
    explicit RawClient(uint16_t port)
    {
        socket = zsock_new_dealer(nullptr);
        zsock_set_rcvtimeo(socket, 100);
        zsock_connect(socket, "tcp://127.0.0.1:%u", port);
    }
    ~RawClient() { zsock_destroy(&socket); }
    void send(const Bytes& frame) { zmq_send(zsock_resolve(socket), frame.data(), frame.size(), 0); }
    // The frames that arrive within waitMs.
    std::vector<Bytes> receive(int waitMs)
    {
        std::vector<Bytes> frames;
        auto end = Clock::now() + std::chrono::milliseconds(waitMs);
        while (Clock::now() < end) {
            zframe_t* frame = zframe_recv(socket);
            if (!frame)
                continue;
            frames.emplace_back(zframe_data(frame), zframe_data(frame) + zframe_size(frame));
            zframe_destroy(&frame);
        }
        return frames;
    }
    // Frames until count have come (or waitMs passed), then any more within settleMs.
    std::vector<Bytes> receiveCount(size_t count, int waitMs, int settleMs = 200)
    {
        std::vector<Bytes> frames;
        auto end = Clock::now() + std::chrono::milliseconds(waitMs);
        while (frames.size() < count && Clock::now() < end) {
            zframe_t* frame = zframe_recv(socket);
            if (!frame)
                continue;
            frames.emplace_back(zframe_data(frame), zframe_data(frame) + zframe_size(frame));
            zframe_destroy(&frame);
        }
        for (Bytes& more : receive(settleMs))
            frames.push_back(more);
        return frames;
    }
    // The first frame within waitMs, empty when none came.
    Bytes first(int waitMs)
    {
        auto end = Clock::now() + std::chrono::milliseconds(waitMs);
        while (Clock::now() < end) {
            zframe_t* frame = zframe_recv(socket);
            if (!frame)
                continue;
            Bytes bytes(zframe_data(frame), zframe_data(frame) + zframe_size(frame));
            zframe_destroy(&frame);
            return bytes;
        }
        return {};
    }
};

const Bytes kPing = {kAddress, 3, 0x11, 0x22, 0x33};
const Bytes kPingReply = {kAddress, 3, 0x11, 0x22, 0x13};

struct RefusedFrame {
    const char* name;
    Bytes frame;
};

class ServerRefuses : public ::testing::TestWithParam<RefusedFrame> {};

}  // namespace

// Frames that must neither reach the module nor be answered; the next good
// request is answered as usual.
TEST_P(ServerRefuses, TheFrameAndStaysInStep)
{
    ServedPeer peer;
    ASSERT_NE(peer.port, 0);
    RawClient client(peer.port);
    client.send(GetParam().frame);
    client.send(kPing);
    EXPECT_EQ(client.first(5000), kPingReply);
    EXPECT_TRUE(client.receive(300).empty()) << "an answer came for the refused frame";
    std::vector<Bytes> received = peer.received();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0], Bytes(kPing.begin() + 2, kPing.end()));
}

INSTANTIATE_TEST_SUITE_P(Frames, ServerRefuses,
                         ::testing::Values(RefusedFrame{"Empty", {}}, RefusedFrame{"OneByte", {kAddress}},
                                           RefusedFrame{"ThirtyOneBytes", Bytes(31, 0x02)},
                                           RefusedFrame{"LengthBeyondTheFrame", {kAddress, 5, 0x11, 0x22}},
                                           RefusedFrame{"LengthShortOfTheFrame", {kAddress, 1, 0x11, 0x22}},
                                           RefusedFrame{"LengthByteOverMaximum", {kAddress, 0xFF, 1, 2, 3}},
                                           RefusedFrame{"RoutePacket", {cmdFORCEROUTE, 1, 1}},
                                           RefusedFrame{"StrayContinuedPiece",
                                                        [] {
                                                            Bytes piece(30, 0x33);
                                                            piece[0] = kAddress;
                                                            piece[1] = 28;
                                                            piece[2] = 0x12;
                                                            piece[29] = 0x85;  // piece 5 of a string never begun
                                                            return piece;
                                                        }()}),
                         [](const ::testing::TestParamInfo<RefusedFrame>& info) {
                             return std::string(info.param.name);
                         });

TEST(Server, RepliesGoToTheClientThatAskedInOrder)
{
    ServedPeer peer;
    ASSERT_NE(peer.port, 0);
    RawClient a(peer.port), b(peer.port);
    for (uint8_t i = 0; i < 5; ++i) {
        a.send({kAddress, 2, 0x30, i});
        b.send({kAddress, 2, 0x50, i});
    }
    std::vector<Bytes> fromA, fromB;
    auto end = Clock::now() + std::chrono::seconds(10);
    while ((fromA.size() < 5 || fromB.size() < 5) && Clock::now() < end) {
        for (Bytes& f : a.receive(50))
            fromA.push_back(f);
        for (Bytes& f : b.receive(50))
            fromB.push_back(f);
    }
    ASSERT_EQ(fromA.size(), 5u);
    ASSERT_EQ(fromB.size(), 5u);
    for (uint8_t i = 0; i < 5; ++i) {
        EXPECT_EQ(fromA[i], (Bytes{kAddress, 2, 0x30, static_cast<uint8_t>(i ^ 0x20)}));
        EXPECT_EQ(fromB[i], (Bytes{kAddress, 2, 0x50, static_cast<uint8_t>(i ^ 0x20)}));
    }
}

// The silent request is in flight beside the ping: the ping's answer passes it
// over, and it gets nothing then or later.
TEST(Server, AnUnansweredRequestIsGivenUpAndTheNextOneWorks)
{
    ServedPeer peer;
    ASSERT_NE(peer.port, 0);
    RawClient client(peer.port);
    client.send({0x40, 3, 0x11, 0x22, 0x33});
    client.send(kPing);
    EXPECT_EQ(client.first(10000), kPingReply);
    EXPECT_TRUE(client.receive(300).empty());
}

TEST(Server, AMultiPacketAnswerReachesTheClientWhole)
{
    ServedPeer peer;
    ASSERT_NE(peer.port, 0);
    RawClient client(peer.port);
    client.send({kAddress, 3, 0x12, 0x4A, 0x20});
    client.send(kPing);
    std::vector<Bytes> frames = client.receiveCount(3, 5000);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].size(), 30u);
    EXPECT_EQ(frames[0][29], 0x80);
    EXPECT_EQ(frames[1], (Bytes{kAddress, 5, 0x12, 0x0A, 0x20, 0x62, 0x01}));
    EXPECT_EQ(frames[2], kPingReply);
}

// A three-piece byte string reaches the module only with its last piece and
// in one run; an out-of-order piece on the way is dropped.
TEST(Server, ByteStringPiecesReachTheModuleTogetherWithTheLast)
{
    ServedPeer peer;
    ASSERT_NE(peer.port, 0);
    RawClient writer(peer.port), other(peer.port);
    auto piece = [](uint8_t sequence, bool more) {
        Bytes frame = {kAddress, 28, 0x12, 0x8A, 0x20};
        frame.resize(29, static_cast<uint8_t>(0xA0 + sequence));
        frame.push_back(static_cast<uint8_t>(sequence | (more ? 0x80 : 0)));
        return frame;
    };
    writer.send(piece(0, true));
    writer.send(piece(2, true));  // out of order
    writer.send(piece(1, true));
    other.send(kPing);
    EXPECT_EQ(other.first(5000), kPingReply);
    EXPECT_TRUE(writer.receive(200).empty());
    EXPECT_EQ(peer.received().size(), 1u) << "pieces reached the module before the last one";
    writer.send(piece(2, false));
    Bytes ack = writer.first(5000);
    ASSERT_FALSE(ack.empty());
    EXPECT_EQ(ack.back(), 0x22);
    std::vector<Bytes> received = peer.received();
    ASSERT_EQ(received.size(), 4u);
    for (uint8_t i = 0; i < 3; ++i) {
        Bytes sent = piece(i, i < 2);
        EXPECT_EQ(received[1 + i], Bytes(sent.begin() + 2, sent.end())) << "piece " << int(i);
    }
}

TEST(Server, StreamSamplesAreBatchedPerHeartbeatForEverySubscriberOnce)
{
    ServedPeer peer;
    ASSERT_NE(peer.port, 0);
    RawClient a(peer.port), b(peer.port), quiet(peer.port);
    const Bytes enable = {kAddress, 7, 0x5D, 0x81, 0, 0, 0, 0, 1};
    a.send(enable);
    a.send(enable);  // twice: still one subscription
    b.send(enable);
    EXPECT_EQ(a.receiveCount(2, 5000).size(), 2u);  // each enable is an ordinary request too
    EXPECT_EQ(b.receiveCount(1, 5000).size(), 1u);
    const WirePacket sample1{kAddress, {0x12, 0x05, 0x41, 0, 0, 0, 7}};
    const WirePacket sample2{kAddress, {0x12, 0x05, 0x42, 0, 0, 0, 9}};
    peer.module.send(sample1);
    peer.module.send(sample2);
    EXPECT_TRUE(a.receive(300).empty()) << "samples left before the heartbeat";
    peer.module.send(WirePacket{kAddress, {0, 1}});
    Bytes batch = {kAddress, 7, 0x12, 0x05, 0x41, 0, 0, 0, 7, kAddress, 7, 0x12, 0x05, 0x42, 0, 0, 0, 9};
    std::vector<Bytes> toA = a.receiveCount(1, 5000);
    ASSERT_EQ(toA.size(), 1u);
    EXPECT_EQ(toA[0], batch);
    EXPECT_EQ(b.receiveCount(1, 5000), std::vector<Bytes>{batch});
    EXPECT_TRUE(quiet.receive(200).empty());
}

TEST(Server, FlushForgetsWaitingClientsWithoutMisdirectingLateReplies)
{
    ServedPeer peer;
    ASSERT_NE(peer.port, 0);
    RawClient silent(peer.port), later(peer.port);
    silent.send({0x40, 1, 0x11});
    silent.receive(200);  // the request is with the sync worker
    ASSERT_EQ(aServer_FlushFIFO(peer.server), aErrNone);
    later.send(kPing);
    EXPECT_EQ(later.first(6000), kPingReply);
    EXPECT_TRUE(silent.receive(300).empty());
    EXPECT_TRUE(later.receive(300).empty());
}

TEST(Server, RefusesWhatItCannotServe)
{
    EXPECT_EQ(aServer_Create(0, 0, 1), nullptr);
    EXPECT_EQ(aServer_Create(0xFFFFFF, 0, 1), nullptr);
    EXPECT_EQ(aServer_Start(nullptr), aErrParam);
    aServer* none = nullptr;
    EXPECT_EQ(aServer_Destroy(&none), aErrParam);
    EXPECT_EQ(aServer_Destroy(nullptr), aErrParam);
    uint16_t port = 1;
    EXPECT_EQ(aServer_GetPort(nullptr, &port), aErrParam);
    EXPECT_EQ(aServer_FlushFIFO(nullptr), aErrParam);
}

// A client that goes away in the middle of a byte string and of a request:
// the next client is served at once and gets only its own replies.
TEST(Server, AClientVanishingMidTransferHoldsUpNobody)
{
    ServedPeer peer;
    ASSERT_NE(peer.port, 0);
    {
        RawClient gone(peer.port);
        Bytes piece = {kAddress, 28, 0x12, 0x8A, 0x20};
        piece.resize(29, 0xC0);
        piece.push_back(0x80);
        gone.send(piece);
        gone.send(kPing);
        gone.first(2000);
    }
    RawClient next(peer.port);
    for (uint8_t i = 0; i < 3; ++i) {
        next.send({kAddress, 2, 0x30, i});
        EXPECT_EQ(next.first(5000), (Bytes{kAddress, 2, 0x30, static_cast<uint8_t>(i ^ 0x20)}));
    }
    EXPECT_TRUE(next.receive(200).empty());
}

// On an interface, the server answers discovery beacons; beacons that are not
// a discovery request, or come cut short, change nothing.
TEST(Server, BeaconModeAnswersDiscoveryAndShrugsOffMalformedBeacons)
{
    PRIVATE_NETWORK_OR_RERUN();
    ASSERT_EQ(system("ip addr add 192.0.2.2/24 dev vb"), 0);
    testsupport::ScriptedModule module(kAddress);
    uint32_t deviceId = aLink_CreateTCPIP(0x5A5A5A5A, htonl(INADDR_LOOPBACK), module.port());
    aServer* server = aServer_Create(deviceId, testsupport::kPrivateAddressIPv4, 0);
    ASSERT_NE(server, nullptr);
    ASSERT_EQ(aServer_Start(server), aErrNone);
    aServer_SetModel(server, 13);

    // Another host's beacons of every wrong shape.
    ASSERT_TRUE(zBeaconInterface_setAndLock("192.0.2.2"));
    zactor_t* noise = zactor_new(zbeacon, nullptr);
    zsock_send(noise, "si", "CONFIGURE", 8585);
    char* host = zstr_recv(noise);
    zBeaconInterface_unlock();
    ASSERT_NE(host, nullptr);
    for (const char* text : {"Tessarine2", "Tessarine2-Discoverz", "x"}) {
        zsock_send(noise, "sbi", "PUBLISH", text, strlen(text), 20);
        usleep(150000);
    }
    Bytes junk(128, 0xFF);
    zsock_send(noise, "sbi", "PUBLISH", junk.data(), junk.size(), 20);
    usleep(150000);
    zstr_sendx(noise, "SILENCE", nullptr);
    zstr_free(&host);
    zactor_destroy(&noise);

    struct Seen {
        int count = 0;
        linkSpec spec{};
    } seen;
    auto collect = [](const linkSpec* spec, bool* found, void* ref) {
        if (spec->serialNumber == 0x5A5A5A5A) {
            static_cast<Seen*>(ref)->count++;
            static_cast<Seen*>(ref)->spec = *spec;
            *found = true;
        }
        return true;
    };
    aDiscovery_Enumerate_PlexusModules(collect, &seen, 0x020200C0);  // 192.0.2.2
    EXPECT_EQ(seen.count, 1);
    EXPECT_EQ(seen.spec.type, PLEXUS_TCPIP);
    EXPECT_EQ(seen.spec.model, 13u);
    EXPECT_EQ(seen.spec.ipAddress, testsupport::kPrivateAddressIPv4);
    uint16_t port = 0;
    aServer_GetPort(server, &port);
    EXPECT_EQ(seen.spec.ipPort, port);
    aServer_Destroy(&server);
    aLink_Destroy(&deviceId);
}
