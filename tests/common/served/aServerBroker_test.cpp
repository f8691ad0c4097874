// The broker's decisions without sockets: what a client's frame turns into,
// and how byte-string pools grow, complete and expire.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/served/aServerBroker.h"
#include "common/served/aServerFrame.h"
#include "common/served/aServerInFlight.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes _piece(uint8_t sequence, bool more, uint8_t fill = 0xB0)
{
    Bytes frame = {2, 28, 0x12, 0x8A, 0x20};
    frame.resize(29, fill);
    frame.push_back(static_cast<uint8_t>((sequence & 0x7F) | (more ? 0x80 : 0)));
    return frame;
}

// The frame a packet travels in.
Bytes _bytes(const aPacket& packet)
{
    Bytes frame(aSERVER_FRAME_MAX);
    frame.resize(aServerFrame_FromPacket(&packet, frame.data(), frame.size()));
    return frame;
}

aServerClientVerdict _client(aServerBrokerState& state, const std::string& client, const Bytes& frame)
{
    return aServerBroker_ClientFrame(&state, client, frame.data(), frame.size());
}

struct FrameCase {
    const char* name;
    Bytes frame;
    size_t toModule;
    bool awaitReply;
    size_t subscribers;
};

class BrokerClientFrame : public ::testing::TestWithParam<FrameCase> {};

}  // namespace

TEST_P(BrokerClientFrame, Decides)
{
    aServerBrokerState state;
    aServerClientVerdict verdict = _client(state, "A", GetParam().frame);
    EXPECT_EQ(verdict.toModule.size(), GetParam().toModule);
    EXPECT_EQ(verdict.awaitReply, GetParam().awaitReply);
    EXPECT_EQ(state.subscribers.size(), GetParam().subscribers);
    if (GetParam().toModule == 1) {
        EXPECT_EQ(_bytes(verdict.toModule[0]), GetParam().frame);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Frames, BrokerClientFrame,
    ::testing::Values(FrameCase{"Get", {2, 3, 3, 0x48, 0x20}, 1, true, 0}, FrameCase{"Magic", {0xAD, 0}, 1, true, 0},
                      FrameCase{"StreamEnable", {2, 7, 0x5D, 0x81, 0, 0, 0, 0, 1}, 1, true, 1},
                      FrameCase{"OtherStreamOption", {2, 7, 0x5D, 0x82, 0, 0, 0, 0, 1}, 1, true, 0},
                      FrameCase{"RouteRequest", {0xAF, 1, 1}, 0, false, 0},
                      FrameCase{"LongerRoutePacket", {0xAF, 2, 1, 0}, 1, false, 0},
                      FrameCase{"LastPieceAlone", _piece(0, false), 1, true, 0},
                      FrameCase{"FirstPieceStartsAPool", _piece(0, true), 0, false, 0},
                      FrameCase{"StrayPiece", _piece(4, true), 0, false, 0}, FrameCase{"TooShort", {2}, 0, false, 0},
                      FrameCase{"LengthMismatch", {2, 4, 1, 2}, 0, false, 0}),
    [](const ::testing::TestParamInfo<FrameCase>& info) { return std::string(info.param.name); });

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
        EXPECT_TRUE(_client(state, "A", _piece(static_cast<uint8_t>(i), true)).toModule.empty()) << i;
    aServerClientVerdict verdict = _client(state, "A", _piece(129, false));
    ASSERT_EQ(verdict.toModule.size(), 130u);
    EXPECT_TRUE(verdict.awaitReply);
    EXPECT_EQ(_bytes(verdict.toModule[128]).back(), 0x80);  // piece 128 counts as 0 again
    EXPECT_TRUE(state.pools.pools.empty());
}

// The last piece decides whether a reply is awaited: a string ending in a
// route packet gets none from the module, so no client may wait for one.
TEST(Broker, AStringEndingInARoutePacketAwaitsNoReply)
{
    aServerBrokerState state;
    EXPECT_TRUE(_client(state, "A", _piece(0, true)).toModule.empty());
    Bytes last = _piece(1, false);
    last[0] = cmdFORCEROUTE;
    aServerClientVerdict verdict = _client(state, "A", last);
    ASSERT_EQ(verdict.toModule.size(), 2u);
    EXPECT_FALSE(verdict.awaitReply);
}

TEST(Broker, PoolsOfDifferentClientsStayApartAndAStalePoolExpires)
{
    aServerBrokerState state;
    _client(state, "A", _piece(0, true, 0xA0));
    _client(state, "B", _piece(0, true, 0xB0));
    aServerClientVerdict b = _client(state, "B", _piece(1, false, 0xB1));
    ASSERT_EQ(b.toModule.size(), 2u);
    EXPECT_EQ(_bytes(b.toModule[0])[5], 0xB0);
    EXPECT_EQ(state.pools.pools.size(), 1u);
    // A vanished mid-transfer: 2000 UEI packets of others later its pool is gone.
    for (int i = 0; i <= aSERVER_POOL_TIME_TO_LIVE; ++i)
        _client(state, "C", {2, 3, 0x12, 0x4A, 0x20});
    EXPECT_TRUE(state.pools.pools.empty());
    EXPECT_TRUE(_client(state, "A", _piece(1, true, 0xA1)).toModule.empty()) << "a piece of an expired string went on";
}

TEST(ServerFrame, PacketsRoundTrip)
{
    const Bytes frame = {4, 2, 0x22, 0x33};
    aPacket packet;
    ASSERT_TRUE(aServerFrame_ToPacket(frame.data(), frame.size(), &packet));
    uint8_t bytes[aSERVER_FRAME_MAX];
    EXPECT_EQ(aServerFrame_FromPacket(&packet, bytes, sizeof bytes), frame.size());
    EXPECT_EQ(Bytes(bytes, bytes + frame.size()), frame);
    EXPECT_EQ(aServerFrame_FromPacket(&packet, bytes, 3), 0u);
    EXPECT_FALSE(aServerFrame_ToPacket(nullptr, 4, &packet));
}

namespace {

// A request put in flight ("A", frame) or an answer from the module (no
// client, frame) with the client it must reach ("" = dropped) and how many
// older requests it gives up.
struct FlightStep {
    std::string client;
    Bytes frame;
    std::string to;
    size_t skipped;
};

struct FlightCase {
    const char* name;
    std::vector<FlightStep> steps;
    size_t left;  // requests still in flight at the end
};

class InFlightMatch : public ::testing::TestWithParam<FlightCase> {};

Bytes _answerPiece(uint8_t sequence, bool more)
{
    Bytes frame = _piece(sequence, more);
    frame[3] = 0x0A;  // a get's answer carries the bare option
    frame[4] = 0x00;
    return frame;
}

}  // namespace

TEST_P(InFlightMatch, AnswersGoToTheOldestRequestTheyEcho)
{
    aServerInFlight flight;
    for (const FlightStep& step : GetParam().steps) {
        aPacket packet;
        ASSERT_TRUE(aServerFrame_ToPacket(step.frame.data(), step.frame.size(), &packet));
        if (!step.client.empty()) {
            aServerInFlight_Add(&flight, step.client, &packet, 0);
        } else {
            std::string to;
            size_t skipped = 0;
            bool matched = aServerInFlight_Match(&flight, &packet, 0, &to, &skipped);
            EXPECT_EQ(matched ? to : "", step.to);
            EXPECT_EQ(matched ? skipped : 0, step.skipped);
        }
    }
    EXPECT_EQ(flight.requests.size(), GetParam().left);
    EXPECT_EQ(aServerInFlight_Expire(&flight, aSERVER_REPLY_TIMEOUT_MS), GetParam().left);
}

INSTANTIATE_TEST_SUITE_P(Answers, InFlightMatch,
                         ::testing::Values(FlightCase{"GetSetAndMagicAnsweredInOrder",
                                                      {{"A", {2, 3, 3, 0x48, 0x20}, "", 0},
                                                       {"B", {2, 4, 3, 0x84, 0x21, 1}, "", 0},
                                                       {"C", {0xAD, 0}, "", 0},
                                                       {"", {2, 4, 3, 0x08, 0x00, 13}, "A", 0},
                                                       {"", {2, 3, 3, 0xC4, 0x01}, "B", 0},
                                                       {"", {2, 0}, "C", 0}},
                                                      0},
                                           FlightCase{"ErrorAnswerAndRawEchoes",
                                                      {{"A", {2, 3, 3, 0x49, 0x20}, "", 0},
                                                       {"A", {2, 3, 23, 1, 2}, "", 0},
                                                       {"B", {2, 3, 23, 3, 4}, "", 0},
                                                       {"", {2, 4, 3, 0x09, 0x80, 5}, "A", 0},
                                                       {"", {2, 3, 23, 1, 2}, "A", 0},
                                                       {"", {2, 3, 23, 3, 4}, "B", 0}},
                                                      0},
                                           FlightCase{"SkippedRequestsAreGivenUp",
                                                      {{"A", {0x40, 3, 3, 0x48, 0x20}, "", 0},
                                                       {"B", {2, 3, 3, 0x49, 0x20}, "", 0},
                                                       {"C", {2, 3, 3, 0x48, 0x20}, "", 0},
                                                       {"", {2, 3, 3, 0x08, 0x00}, "C", 2},
                                                       {"", {2, 3, 3, 0x09, 0x00}, "", 0}},
                                                      0},
                                           FlightCase{"UnmatchedAnswersChangeNothing",
                                                      {{"A", {2, 3, 3, 0x48, 0x20}, "", 0},
                                                       {"", {2, 3, 3, 0x08, 0x01}, "", 0},
                                                       {"", {4, 3, 3, 0x08, 0x00}, "", 0},
                                                       {"", {2, 3, 0x12, 0x08, 0x00}, "", 0}},
                                                      1},
                                           FlightCase{"AMultiPacketAnswerKeepsItsRequestUntilTheLastPiece",
                                                      {{"A", {2, 3, 0x12, 0x4A, 0x20}, "", 0},
                                                       {"B", {2, 3, 23, 1, 2}, "", 0},
                                                       {"", _answerPiece(0, true), "A", 0},
                                                       {"", _answerPiece(1, true), "A", 0},
                                                       {"", _answerPiece(2, false), "A", 0},
                                                       {"", _answerPiece(3, false), "", 0}},
                                                      1}),
                         [](const ::testing::TestParamInfo<FlightCase>& info) { return std::string(info.param.name); });
