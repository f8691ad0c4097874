// An independent client (tests/e2e/zmq_client.py, Debian's python3-zmq) speaks
// the frame format to a module server serving a scripted module; this test
// checks what reached the module.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "common/aLink.h"
#include "common/served/aServerZeroMQ.h"
#include "support/Process.h"
#include "support/ScriptedModule.h"

using testsupport::ScriptedModule;
using testsupport::WirePacket;

namespace {

using Bytes = std::vector<uint8_t>;

// Answers, as a module does, with the request's command, option and index: the
// request with bit 5 of its last byte flipped; address 0x40 and the pieces of a
// byte string before its last are never answered;
// request 0x12 0x01 is answered and followed by two stream samples and a heartbeat.
std::vector<WirePacket> _answer(const WirePacket& request)
{
    // Like a module, nothing for a silent address nor for a piece with more to come.
    bool continued = request.payload.size() == 28 && (request.payload[27] & 0x80);
    if (request.address == 0x40 || continued)
        return {};
    Bytes reply = request.payload;
    if (!reply.empty())
        reply.back() ^= 0x20;
    std::vector<WirePacket> out{{2, reply}};
    if (request.payload.size() == 3 && request.payload[0] == 0x12 && request.payload[1] == 0x01) {
        out.push_back({2, {0x12, 0x05, 0x41, 0, 0, 0, 7}});
        out.push_back({2, {0x12, 0x05, 0x42, 0, 0, 0, 9}});
        out.push_back({2, {0, 1}});
    }
    return out;
}

}  // namespace

TEST(PythonClient, SpeaksTheFrameFormat)
{
    ScriptedModule module(2);
    module.setHandler(_answer);
    uint32_t deviceId = aLink_CreateTCPIP(0x40F5849A, htonl(INADDR_LOOPBACK), module.port());
    ASSERT_NE(deviceId, 0u);
    aServer* server = aServer_Create(deviceId, 0, 1);
    ASSERT_NE(server, nullptr);
    ASSERT_EQ(aServer_Start(server), aErrNone);
    uint16_t port = 0;
    aServer_GetPort(server, &port);
    // The link's own start sends the module a route packet; count from after it,
    // so that only route packets from the client could add to the count.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (module.routeCount() == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_GT(module.routeCount(), 0u) << "the link's start route packet never reached the module";
    size_t routesBefore = module.routeCount();

    testsupport::RunOptions options;
    options.kill_after_seconds = 60;
    testsupport::ProcessResult result = testsupport::RunProcess(
        {"/usr/bin/python3", UPDATER_SOURCE_DIR "/tests/e2e/zmq_client.py", std::to_string(port)}, options);
    EXPECT_EQ(result.exit_status, 0) << result.out << result.err;
    EXPECT_NE(result.out.find("done"), std::string::npos) << result.out;

    EXPECT_EQ(module.routeCount(), routesBefore) << "a client's route packet reached the module";
    // The pieces arrived after the other client's ping, in order, without the
    // out-of-order one, followed by nothing but the silent request and the last ping.
    std::vector<WirePacket> received = module.received();
    size_t ping7 = 0;
    while (ping7 < received.size() && received[ping7].payload != Bytes{0x11, 7, 0x33})
        ++ping7;
    ASSERT_LT(ping7 + 5, received.size());
    for (uint8_t i = 0; i < 3; ++i) {
        const Bytes& piece = received[ping7 + 1 + i].payload;
        ASSERT_EQ(piece.size(), 28u);
        EXPECT_EQ(piece[3], 0xB0 + i);
        EXPECT_EQ(piece[27], i < 2 ? (0x80 | i) : i);
    }
    EXPECT_EQ(received[ping7 + 4].address, 0x40);
    EXPECT_EQ(received[ping7 + 5].payload, (Bytes{0x11, 8, 0x33}));
    EXPECT_EQ(received.size(), ping7 + 6);

    aServer_Destroy(&server);
    aLink_Destroy(&deviceId);
}
