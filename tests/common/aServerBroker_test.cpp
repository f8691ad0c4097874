// The broker's decisions without sockets: what a client's frame turns into,
// whom each reply goes to, and how byte-string pools grow, complete and expire.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/aServerBroker.h"
#include "common/aServerFrame.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes _piece(uint8_t sequence, bool more, uint8_t fill = 0xB0)
{
    Bytes frame = {2, 28, 0x12, 0x8A, 0x20};
    frame.resize(29, fill);
    frame.push_back(static_cast<uint8_t>((sequence & 0x7F) | (more ? 0x80 : 0)));
    return frame;
}

aServerClientVerdict _client(aServerBrokerState& state, const std::string& client, const Bytes& frame)
{
    aServerClientVerdict verdict = aServerBroker_ClientFrame(&state, client, frame.data(), frame.size());
    if (!verdict.toSync.empty())
        aServerBroker_Sent(&state, client, verdict);
    return verdict;
}

// Feeds a sync frame; the client it went to, "" when it went nowhere.
std::string _sync(aServerBrokerState& state, const Bytes& frame)
{
    std::string client;
    return aServerBroker_SyncFrame(&state, frame.data(), frame.size(), &client) ? client : "";
}

Bytes _command(uint8_t command, uint16_t count)
{
    Bytes frame(aSERVER_CMD_SIZE);
    aServerFrame_Command(command, count, frame.data());
    return frame;
}

struct FrameCase {
    const char* name;
    Bytes frame;
    size_t toSync;
    bool awaitReply;
    size_t subscribers;
};

class BrokerClientFrame : public ::testing::TestWithParam<FrameCase> {};

}  // namespace

TEST_P(BrokerClientFrame, Decides)
{
    aServerBrokerState state;
    aServerClientVerdict verdict = _client(state, "A", GetParam().frame);
    EXPECT_EQ(verdict.toSync.size(), GetParam().toSync);
    EXPECT_EQ(verdict.awaitReply, GetParam().awaitReply);
    EXPECT_EQ(state.waiting.size(), GetParam().awaitReply ? 1u : 0u);
    EXPECT_EQ(state.subscribers.size(), GetParam().subscribers);
    if (GetParam().toSync == 1)
        EXPECT_EQ(verdict.toSync[0], GetParam().frame);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, BrokerClientFrame,
    ::testing::Values(FrameCase{"Get", {2, 3, 3, 0x48, 0x20}, 1, true, 0},
                      FrameCase{"Magic", {0xAD, 0}, 1, true, 0},
                      FrameCase{"StreamEnable", {2, 7, 0x5D, 0x81, 0, 0, 0, 0, 1}, 1, true, 1},
                      FrameCase{"OtherStreamOption", {2, 7, 0x5D, 0x82, 0, 0, 0, 0, 1}, 1, true, 0},
                      FrameCase{"RouteRequest", {0xAF, 1, 1}, 0, false, 0},
                      FrameCase{"LongerRoutePacket", {0xAF, 2, 1, 0}, 1, false, 0},
                      FrameCase{"LastPieceAlone", _piece(0, false), 1, true, 0},
                      FrameCase{"FirstPieceStartsAPool", _piece(0, true), 0, false, 0},
                      FrameCase{"StrayPiece", _piece(4, true), 0, false, 0},
                      FrameCase{"TooShort", {2}, 0, false, 0},
                      FrameCase{"LengthMismatch", {2, 4, 1, 2}, 0, false, 0}),
    [](const ::testing::TestParamInfo<FrameCase>& info) { return std::string(info.param.name); });

TEST(Broker, RepliesFollowTheRequestsAndAThreeByteReplyIsNoCommand)
{
    aServerBrokerState state;
    _client(state, "A", {2, 1, 0x49});
    _client(state, "B", {2, 1, 0x4A});
    // A's request got two packets, one of them 3 bytes long like a command.
    EXPECT_EQ(_sync(state, _command(SERVER_CMD_INCOMING_PACKETS, 2)), "");
    EXPECT_EQ(_sync(state, {2, 1, 0x49}), "A");
    EXPECT_EQ(_sync(state, {2, 1, 0}), "A");
    // B's got nothing.
    EXPECT_EQ(_sync(state, _command(SERVER_CMD_DROPPED_PACKET, 0)), "");
    EXPECT_TRUE(state.waiting.empty());
    EXPECT_EQ(_sync(state, {2, 1, 0x4A}), "") << "a reply nobody waits for";
}

TEST(Broker, AFlushedClientsReplyIsDroppedAndTheNextClientGetsItsOwn)
{
    aServerBrokerState state;
    _client(state, "A", {0x40, 1, 1});
    aServerBroker_Flush(&state);
    _client(state, "B", {2, 1, 2});
    EXPECT_EQ(_sync(state, _command(SERVER_CMD_INCOMING_PACKETS, 1)), "");
    EXPECT_EQ(_sync(state, {0x40, 1, 1}), "") << "A's late reply went to someone";
    EXPECT_EQ(_sync(state, _command(SERVER_CMD_INCOMING_PACKETS, 1)), "");
    EXPECT_EQ(_sync(state, {2, 1, 2}), "B");
}

TEST(Broker, StreamSubscribersAreCountedOnce)
{
    aServerBrokerState state;
    const Bytes enable = {2, 7, 0x5D, 0x81, 0, 0, 0, 0, 1};
    _client(state, "A", enable);
    _client(state, "A", enable);
    _client(state, "B", enable);
    EXPECT_EQ(state.subscribers, (std::vector<std::string>{"A", "B"}));
}

// 130 pieces: the 7-bit sequence wraps, and the whole string still goes out.
TEST(Broker, ALongStringGoesOutWholeAcrossTheSequenceWrap)
{
    aServerBrokerState state;
    for (int i = 0; i < 129; ++i)
        EXPECT_TRUE(_client(state, "A", _piece(static_cast<uint8_t>(i), true)).toSync.empty()) << i;
    aServerClientVerdict verdict = _client(state, "A", _piece(129, false));
    ASSERT_EQ(verdict.toSync.size(), 130u);
    EXPECT_TRUE(verdict.awaitReply);
    EXPECT_EQ(verdict.toSync[128].back(), 0x80);  // piece 128 counts as 0 again
    EXPECT_TRUE(state.pools.pools.empty());
}

// The last piece decides whether a reply is awaited: a string ending in a
// route packet gets none from the module, so no client may wait for one.
TEST(Broker, AStringEndingInARoutePacketAwaitsNoReply)
{
    aServerBrokerState state;
    EXPECT_TRUE(_client(state, "A", _piece(0, true)).toSync.empty());
    Bytes last = _piece(1, false);
    last[0] = cmdFORCEROUTE;
    aServerClientVerdict verdict = _client(state, "A", last);
    ASSERT_EQ(verdict.toSync.size(), 2u);
    EXPECT_FALSE(verdict.awaitReply);
    EXPECT_TRUE(state.waiting.empty());
}

TEST(Broker, PoolsOfDifferentClientsStayApartAndAStalePoolExpires)
{
    aServerBrokerState state;
    _client(state, "A", _piece(0, true, 0xA0));
    _client(state, "B", _piece(0, true, 0xB0));
    aServerClientVerdict b = _client(state, "B", _piece(1, false, 0xB1));
    ASSERT_EQ(b.toSync.size(), 2u);
    EXPECT_EQ(b.toSync[0][5], 0xB0);
    EXPECT_EQ(state.pools.pools.size(), 1u);
    // A vanished mid-transfer: 2000 UEI packets of others later its pool is gone.
    for (int i = 0; i <= aSERVER_POOL_TIME_TO_LIVE; ++i) {
        _client(state, "C", {2, 3, 0x12, 0x4A, 0x20});
        _sync(state, _command(SERVER_CMD_DROPPED_PACKET, 0));
    }
    EXPECT_TRUE(state.pools.pools.empty());
    EXPECT_TRUE(_client(state, "A", _piece(1, true, 0xA1)).toSync.empty()) << "a piece of an expired string went on";
}

TEST(ServerFrame, CommandFramesAndPacketsRoundTrip)
{
    Bytes command = _command(SERVER_CMD_INCOMING_PACKETS, 0x0102);
    EXPECT_EQ(command, (Bytes{1, 1, 2}));
    const Bytes frame = {4, 2, 0x22, 0x33};
    aPacket* packet = aServerFrame_ToPacket(frame.data(), frame.size());
    ASSERT_NE(packet, nullptr);
    uint8_t bytes[aSERVER_FRAME_MAX];
    EXPECT_EQ(aServerFrame_FromPacket(packet, bytes, sizeof bytes), frame.size());
    EXPECT_EQ(Bytes(bytes, bytes + frame.size()), frame);
    EXPECT_EQ(aServerFrame_FromPacket(packet, bytes, 3), 0u);
    aPacket_Destroy(&packet);
    EXPECT_EQ(aServerFrame_ToPacket(nullptr, 4), nullptr);
}
