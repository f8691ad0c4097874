// The virtual module against the product's link engine over loopback TCP: the
// exchanges a host relies on, the whole upgrade command sequence, and every
// injected fault as the host sees it on the wire.
#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <chrono>
#include <numeric>
#include <thread>

#include "common/aLink.h"
#include "sim/TcpModuleServer.h"

using namespace Sim;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr uint32_t kSerial = 0x12345678;
constexpr uint8_t kAddress = 6;
constexpr int kHangGuardMs = 20000;  // only keeps a broken build from hanging

ModuleConfig _config()
{
    ModuleConfig c;
    c.serialNumber = kSerial;
    c.moduleAddress = kAddress;
    c.model = 7;
    c.build = 1000;
    c.blockSize = 64;
    c.loadPauseMs = 200;
    c.rebootPauseMs = 200;
    c.newBuild = 1001;
    return c;
}

struct Match {
    uint8_t address;
    Bytes prefix;
};

uint8_t _matches(const aPacket* packet, const void* ref)
{
    const auto* m = static_cast<const Match*>(ref);
    if (packet->address != m->address || packet->dataSize < m->prefix.size())
        return 0;
    return std::equal(m->prefix.begin(), m->prefix.end(), packet->data) ? 1 : 0;
}

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override { Serve(_config()); }
    void TearDown() override
    {
        while (link)
            aLink_Destroy(&link);
        if (server)
            server->Stop();
    }

    void Serve(const ModuleConfig& config)
    {
        TearDown();
        module = std::make_shared<VirtualModule>(config);
        server = std::make_unique<TcpModuleServer>(module, "", 0);
        std::string error;
        ASSERT_TRUE(server->Start(error)) << error;
    }
    void Arm(const std::string& spec)
    {
        Fault f;
        std::string error;
        ASSERT_TRUE(Fault::Parse(spec, f, error)) << error;
        module->AddFault(f);
    }
    // A new engine link to the module, synchronised; false while the module is away.
    bool Connect()
    {
        while (link)
            aLink_Destroy(&link);
        link = aLink_CreateTCPIP(kSerial, htonl(INADDR_LOOPBACK), server->Port());
        return link && aLink_Sync(link) == aErrNone;
    }
    // Waits until the host's link has seen the connection go: it left the
    // running state, or it already connected again by itself.
    void AwaitDropSeen(uint64_t connectionsBefore)
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kHangGuardMs);
        while (aLink_GetStatus(link) == LinkStatus::running && module->Stats().connections == connectionsBefore &&
               std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    bool ConnectWhenBack()
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kHangGuardMs);
        while (std::chrono::steady_clock::now() < end) {
            if (Connect())
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    void Put(uint8_t address, const Bytes& payload)
    {
        static const uint8_t none = 0;  // a packet needs a data pointer, also without data
        aPacket* p = aPacket_CreateWithData(address, static_cast<uint8_t>(payload.size()),
                                            payload.empty() ? &none : payload.data());
        ASSERT_EQ(aLink_PutPacket(link, p), aErrNone);
        aPacket_Destroy(&p);
    }
    // The first inbound packet from `address` whose payload starts with `prefix`;
    // empty optional after the wait.
    std::optional<Bytes> Await(uint8_t address, Bytes prefix, uint32_t waitMs = kHangGuardMs)
    {
        Match m{address, std::move(prefix)};
        aPacket* p = aLink_AwaitFirst(link, _matches, &m, waitMs);
        if (!p)
            return std::nullopt;
        Bytes payload(p->data, p->data + p->dataSize);
        aPacket_Destroy(&p);
        return payload;
    }
    // A request and its reply: a UEI reply carries the bare option (a get) or the
    // acknowledged one (a set); raw replies begin as their request.
    std::optional<Bytes> Ask(const Bytes& request, uint32_t waitMs = kHangGuardMs)
    {
        Put(kAddress, request);
        Bytes prefix{request[0], request[1]};
        if (request[0] == 3)
            prefix[1] = (request[1] & 0x80) ? (request[1] | 0xC0) : (request[1] & 0x3F);
        return Await(kAddress, prefix, waitMs);
    }
    std::optional<Bytes> Upgrade(const Bytes& request, uint8_t replyCode, uint32_t waitMs = kHangGuardMs)
    {
        Put(kAddress, request);
        return Await(kAddress, {95, replyCode}, waitMs);
    }
    // A block sent as raw DATA packets of at most 26 bytes; the counts answered.
    std::vector<uint8_t> SendRaw(const Bytes& data)
    {
        std::vector<uint8_t> counts;
        for (size_t at = 0; at < data.size(); at += 26) {
            Bytes request{95, 1};
            request.insert(request.end(), data.begin() + at, data.begin() + std::min(data.size(), at + 26));
            auto reply = Upgrade(request, 1);
            counts.push_back(reply && reply->size() == 3 ? (*reply)[2] : 0xFF);
        }
        return counts;
    }
    // A byte string set as the entity layer sends it: 24-byte chunks, sequence bytes.
    void SendString(uint8_t command, uint8_t option, const Bytes& data)
    {
        size_t at = 0;
        uint8_t sequence = 0;
        do {
            size_t n = std::min<size_t>(24, data.size() - at);
            Bytes chunk{command, static_cast<uint8_t>(0x80 | option), 0x20};
            chunk.insert(chunk.end(), data.begin() + at, data.begin() + at + n);
            at += n;
            chunk.push_back(static_cast<uint8_t>(sequence++ | (at < data.size() ? 0x80 : 0)));
            Put(kAddress, chunk);
        } while (at < data.size());
    }
    static Bytes SumReply(const Bytes& data, uint8_t status = 0)
    {
        Bytes reply{95, 7, status};
        PutBE(reply, std::accumulate(data.begin(), data.end(), 0u), 4);
        return reply;
    }

    std::shared_ptr<VirtualModule> module;
    std::unique_ptr<TcpModuleServer> server;
    uint32_t link = 0;
};

Bytes _ramp(size_t n, uint8_t start)
{
    Bytes b(n);
    std::iota(b.begin(), b.end(), start);
    return b;
}

}  // namespace

TEST_F(EngineTest, SynchronisesAndLearnsTheModuleAddress)
{
    ASSERT_TRUE(Connect());
    EXPECT_EQ(aLink_GetStatus(link), LinkStatus::running);
    aPacket* surplus = aLink_GetPacket(link);
    EXPECT_EQ(surplus, nullptr) << "the surplus answers to the magic packets are drained";
    aPacket_Destroy(&surplus);
    EXPECT_GE(module->Stats().magicAnswered, 2u);
    EXPECT_EQ(module->Stats().forceRoute, 1) << "the link announced itself with a route packet";

    Put(0xAD, {});
    aPacket* reply = aLink_AwaitFirst(
        link, [](const aPacket* p, const void*) -> uint8_t { return p->dataSize == 0; }, nullptr, kHangGuardMs);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->address, kAddress);
    aPacket_Destroy(&reply);
}

TEST_F(EngineTest, SystemEntityExchanges)
{
    ASSERT_TRUE(Connect());
    EXPECT_EQ(Ask({3, 0x49, 0x20}), (Bytes{3, 9, 0, 0x12, 0x34, 0x56, 0x78}));
    EXPECT_EQ(Ask({3, 0x94, 0x20, 1}), (Bytes{3, 0xD4, 0}));
    EXPECT_EQ(module->Stats().routeToMe, 1);
    EXPECT_EQ(Ask({3, 0x67, 0x20, 3}), (Bytes{3, 39, 0, 0x44, 0x44, 0x44, 0x44}));
    EXPECT_EQ(Ask({3, 0x40 | 50, 0x20}), (Bytes{3, 50, 0x80, aErrInvalidOption}));
    EXPECT_EQ(Ask({73, 0xFF}), (Bytes{73, 0xFF, 0, 0, 0x03, 0xE8}));
    EXPECT_EQ(Ask({73, 1, 95, 10, 0, 0x80}), (Bytes{73, 1, 95, 10, 0, 0}));
}

TEST_F(EngineTest, ByteStringsInSequencedChunks)
{
    ASSERT_TRUE(Connect());
    // 50 bytes go out as 24 + 24 + 2 with sequence bytes 0x80, 0x81, 0x02 and are
    // acknowledged once, after the last chunk.
    Bytes data = _ramp(50, 100);
    EXPECT_EQ(Upgrade({95, 3, 0, 0, 0, 0x10, 0}, 7), (Bytes{95, 7, 0, 0, 64}));
    aLink_PacketDebug_Enable(link);
    SendString(95, 10, data);
    EXPECT_EQ(Await(kAddress, {95, 0xCA}), (Bytes{95, 0xCA, 0}));
    std::vector<uint8_t> sequences;
    uint8_t direction = 0, length = 0;
    uint8_t record[64];
    for (;;) {
        length = sizeof record;
        if (aLink_PacketDebug_Read(link, &direction, &length, record) != aErrNone)
            break;
        if (direction == 1 && length > 4 && record[2] == 95 && record[3] == 0x8A)
            sequences.push_back(record[length - 1]);
    }
    EXPECT_EQ(sequences, (std::vector<uint8_t>{0x80, 0x81, 0x02}));
    EXPECT_EQ(Upgrade({95, 4}, 7), SumReply(data)) << "the module took all 50 bytes in order";

    // The module's own byte strings: a 32-byte name comes back as 0x80, 0x01.
    std::string name = "Thirty-two bytes of module name.";
    Bytes nameBytes(name.begin(), name.end());
    SendString(3, 32, nameBytes);
    EXPECT_EQ(Await(kAddress, {3, 0xE0}), (Bytes{3, 0xE0, 0}));
    Put(kAddress, {3, 0x60, 0x20});
    auto first = Await(kAddress, {3, 32});
    auto second = Await(kAddress, {3, 32});
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->back(), 0x80);
    EXPECT_EQ(second->back(), 0x01);
    Bytes joined(first->begin() + 3, first->end() - 1);
    joined.insert(joined.end(), second->begin() + 3, second->end() - 1);
    EXPECT_EQ(joined, nameBytes);
}

TEST_F(EngineTest, PooledPacketsAreTakenApartByTheModule)
{
    ASSERT_TRUE(Connect());
    ASSERT_EQ(aLink_EnablePooledPackets(link, true), aErrNone);
    Bytes data = _ramp(200, 1);
    Upgrade({95, 3, 0, 0, 0, 0x20, 0}, 7);
    SendString(95, 10, data);
    EXPECT_EQ(Await(kAddress, {95, 0xCA}), (Bytes{95, 0xCA, 0}));
    EXPECT_EQ(Upgrade({95, 4}, 7), SumReply(data));
}

TEST_F(EngineTest, HeartbeatsAreAnsweredByTheEngineAndNeverQueued)
{
    ModuleConfig c = _config();
    c.heartbeatMs = 20;
    Serve(c);
    ASSERT_TRUE(Connect());
    EXPECT_EQ(Ask({3, 0x41, 0x20}), (Bytes{3, 1, 0, kAddress}));
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kHangGuardMs);
    while (module->Stats().heartbeatsAnswered < 3 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_GE(module->Stats().heartbeatsAnswered, 3u);
    EXPECT_EQ(module->Stats().heartbeatAnswersWrong, 0u);
    aPacket* queued = aLink_GetPacket(link);
    EXPECT_EQ(queued, nullptr) << "heartbeats never reach the inbound queue";
    aPacket_Destroy(&queued);
}

// The command sequence of a firmware update, and the flash it leaves.
TEST_F(EngineTest, WholeUpgradeSequenceLeavesWhatWasSentInFlash)
{
    ASSERT_TRUE(Connect());
    Bytes loader = _ramp(100, 3), firmware = _ramp(150, 9);

    EXPECT_EQ(Upgrade({95, 0}, 0), (Bytes{95, 0, 0x20, 0, 0, 0}));
    EXPECT_EQ(Upgrade({95, 3, 0, 0x20, 0, 0x04, 0}, 7), (Bytes{95, 7, 0, 0, 64}));
    EXPECT_EQ(SendRaw(loader), (std::vector<uint8_t>{26, 26, 26, 22}));
    EXPECT_EQ(Upgrade({95, 4}, 7), SumReply(loader));
    uint64_t connections = module->Stats().connections;
    EXPECT_EQ(Upgrade({95, 2}, 2), (Bytes{95, 2}));

    // The module restarts into its loader; the host connects again.
    AwaitDropSeen(connections);
    EXPECT_NE(aLink_GetStatus(link), LinkStatus::running);
    ASSERT_TRUE(ConnectWhenBack());
    EXPECT_TRUE(module->Stats().loaderRunning);

    // Firmware in pieces of the module's block size (64): raw, raw, UEI.
    EXPECT_EQ(Upgrade({95, 3, 1, 0, 0, 0x80, 0}, 7), (Bytes{95, 7, 0, 0, 64}));
    for (size_t at = 0; at < firmware.size(); at += 64) {
        Bytes piece(firmware.begin() + at, firmware.begin() + std::min(firmware.size(), at + 64));
        if (at < 128) {
            SendRaw(piece);
        } else {
            SendString(95, 10, piece);
            EXPECT_EQ(Await(kAddress, {95, 0xCA}), (Bytes{95, 0xCA, 0}));
        }
        EXPECT_EQ(Upgrade({95, 4}, 7), SumReply(piece));
        EXPECT_EQ(Upgrade({95, 5, 0, static_cast<uint8_t>(piece.size())}, 7), (Bytes{95, 7, 0}));
    }
    connections = module->Stats().connections;
    Put(kAddress, {95, 6});

    // The link drops; the module comes back with the new firmware.
    AwaitDropSeen(connections);
    EXPECT_EQ(module->Stats().restarts, 2u);
    ASSERT_TRUE(ConnectWhenBack());
    EXPECT_EQ(Ask({73, 0xFF}), (Bytes{73, 0xFF, 0, 0, 0x03, 0xE9}));
    auto images = module->FlashImages();
    EXPECT_EQ(images[0x20000400], loader);
    EXPECT_EQ(images[0x00008000], firmware);
}

// --- faults, as the host sees them -------------------------------------------

TEST_F(EngineTest, WrongDataCountMakesTheHostSendTheBytesAgain)
{
    Arm("wrong-data-count");
    ASSERT_TRUE(Connect());
    Upgrade({95, 3, 0, 0, 0, 0, 0}, 7);
    EXPECT_EQ(Upgrade({95, 1, 1, 2, 3}, 1), (Bytes{95, 1, 2}));
    EXPECT_EQ(Upgrade({95, 1, 1, 2, 3}, 1), (Bytes{95, 1, 3}));
    EXPECT_EQ(Upgrade({95, 4}, 7), SumReply({1, 2, 3}));
}

TEST_F(EngineTest, WrongSumAndErrorStatusReachTheHost)
{
    Arm("wrong-sum");
    Arm("error-status=PREPARE,code=8");
    ASSERT_TRUE(Connect());
    EXPECT_EQ(Upgrade({95, 3, 0, 0, 0, 0, 0}, 7), (Bytes{95, 7, 8}));
    EXPECT_EQ(Upgrade({95, 3, 0, 0, 0, 0, 0}, 7), (Bytes{95, 7, 0, 0, 64}));
    Upgrade({95, 1, 0xFF, 0x01}, 1);
    EXPECT_EQ(Upgrade({95, 4}, 7), (Bytes{95, 7, 0, 0, 0, 1, 1}));
    EXPECT_EQ(Upgrade({95, 4}, 7), (Bytes{95, 7, 0, 0, 0, 1, 0}));
}

TEST_F(EngineTest, BusyAndSilentModules)
{
    Arm("silent=SUM");
    ASSERT_TRUE(Connect());
    EXPECT_EQ(Upgrade({95, 4}, 7, 300), std::nullopt);
    EXPECT_EQ(Upgrade({95, 4}, 7), SumReply({}));
    Arm("busy");
    EXPECT_EQ(Ask({3, 0x49, 0x20}), (Bytes{3, 9, 0x80, aErrBusy}));
}

TEST_F(EngineTest, DroppedLinksAreSeenByTheHost)
{
    Arm("drop-at=WRITE");
    ASSERT_TRUE(Connect());
    uint64_t connections = module->Stats().connections;
    EXPECT_EQ(Upgrade({95, 5, 0, 0}, 7, 300), std::nullopt);
    EXPECT_EQ(module->Stats().drops, 1u);
    AwaitDropSeen(connections);

    // Counted from the next connection on, its synchronisation included.
    Arm("drop-after-bytes=40");
    ASSERT_TRUE(ConnectWhenBack());
    int answered = 0;
    connections = module->Stats().connections;
    while (answered < 20 && Ask({3, 0x49, 0x20}, 300))
        ++answered;
    AwaitDropSeen(connections);
    EXPECT_GE(answered, 1);
    EXPECT_LT(answered, 8) << "40 bytes are a few requests";
    EXPECT_EQ(module->Stats().drops, 2u);
}
