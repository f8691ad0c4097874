// The upgrade entity byte for byte, against a scripted loader at the far end
// of a real TCP link on 127.0.0.1.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <vector>

#include "app/UpdaterEntity.h"
#include "common/Log.h"
#include "common/device/Module.h"
#include "support/LogCapture.h"
#include "support/RecordingDisplay.h"
#include "support/ScriptedModule.h"

using namespace Kestrune::Tessarine;
using testsupport::RecordingDisplay;
using testsupport::ScriptedModule;
using testsupport::WirePacket;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr uint8_t kAddress = 6;

linkSpec _tcp_spec(uint16_t port)
{
    linkSpec spec{};
    spec.type = TCPIP;
    spec.serialNumber = 0x40F5849A;
    spec.ipAddress = 0x0100007F;
    spec.ipPort = port;
    return spec;
}

Bytes _block(uint32_t address, size_t length, uint8_t seed = 1)
{
    Bytes block = {uint8_t(address >> 24), uint8_t(address >> 16), uint8_t(address >> 8), uint8_t(address)};
    for (size_t i = 0; i < length; ++i)
        block.push_back(uint8_t(seed + 7 * i));
    return block;
}

Bytes _be32(uint32_t value)
{
    return {uint8_t(value >> 24), uint8_t(value >> 16), uint8_t(value >> 8), uint8_t(value)};
}

// A loader as the host expects one: it takes data, keeps the byte sum of
// what came since the last PREPARE, SUM or WRITE, and answers every request.
// Tests bend its answers through the public knobs.
struct Loader {
    uint32_t sum = 0;
    uint16_t blockSize = 256;
    int wrongCounts = 0;  // DATA acknowledgements that carry a wrong count
    bool wrongSum = false;
    uint8_t writeStatus = 0;
    Bytes initReply = {95, 0, 0x20, 0, 0, 0};
    uint32_t features = 0x80000001;
    bool hasUeiData = true;
    Bytes string;  // a UEI byte string in progress

    std::vector<WirePacket> Answer(const WirePacket& in)
    {
        const Bytes& p = in.payload;
        if (p.size() >= 2 && p[0] == 73 && p[1] == 1) {
            return {{kAddress, {73, 1, p[2], p[3], p[4], uint8_t(hasUeiData ? aErrNone : aErrInvalidOption)}}};
        }
        if (p.size() >= 3 && p[0] == 3 && p[1] == (45 | 0x40)) {
            Bytes reply = {3, 45, 0};
            Bytes value = _be32(features);
            reply.insert(reply.end(), value.begin(), value.end());
            return {{kAddress, reply}};
        }
        if (p.size() < 2 || p[0] != 95)
            return {};
        switch (p[1]) {
        case 0:
            return {{kAddress, initReply}};
        case 1: {
            uint8_t n = uint8_t(p.size() - 2);
            if (wrongCounts > 0) {
                --wrongCounts;
                return {{kAddress, {95, 1, uint8_t(n - 1)}}};
            }
            for (size_t i = 2; i < p.size(); ++i)
                sum += p[i];
            return {{kAddress, {95, 1, n}}};
        }
        case 3:
            sum = 0;
            return {{kAddress, {95, 7, 0, uint8_t(blockSize >> 8), uint8_t(blockSize)}}};
        case 4: {
            Bytes reply = {95, 7, 0};
            Bytes value = _be32(wrongSum ? sum + 1 : sum);
            reply.insert(reply.end(), value.begin(), value.end());
            return {{kAddress, reply}};
        }
        case 5:
            sum = 0;
            return {{kAddress, {95, 7, writeStatus}}};
        case 0x80 | 10: {  // UEI set of option 10: chunks, each ending in a sequence byte
            uint8_t sequence = p.back();
            for (size_t i = 3; i + 1 < p.size(); ++i)
                sum += p[i];
            if (sequence & 0x80)
                return {};
            return {{kAddress, {95, 0xC0 | 10, 0}}};
        }
        default:
            return {};
        }
    }
};

class UpdaterEntityTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(peer.port(), 0);
        PlexusConfig config;
        config.enabled = false;
        config.fallback = false;
        ASSERT_EQ(module.setConfig(config), aErrNone);
        ASSERT_EQ(module.connectFromSpec(_tcp_spec(peer.port())), aErrNone);
        ASSERT_EQ(module.getModuleAddress(), kAddress);
        peer.setHandler([this](const WirePacket& in) {
            std::lock_guard<std::mutex> lock(mutex);
            return loader.Answer(in);
        });
        entity.init(&module, 0, true, false);
    }

    // The payloads the host sent, in order.
    std::vector<Bytes> Sent()
    {
        std::vector<Bytes> payloads;
        for (const WirePacket& packet : peer.received())
            payloads.push_back(packet.payload);
        return payloads;
    }

    void SetLoader(const std::function<void(Loader&)>& change)
    {
        std::lock_guard<std::mutex> lock(mutex);
        change(loader);
    }

    ScriptedModule peer{kAddress};
    Module module{2, true};
    UpdaterEntity entity;
    std::mutex mutex;
    Loader loader;
    RecordingDisplay display;
};

}  // namespace

TEST(UpdaterEntitySum, AddsUnsignedBytesModulo2To32)
{
    const uint8_t bytes[] = {0xFF, 0x01};
    EXPECT_EQ(UpdaterEntity::ByteSum(bytes, 2), 0x100u);
    std::vector<uint8_t> many(0x01010102, 0xFF);  // 0xFF * 0x01010102 wraps past 2^32
    EXPECT_EQ(UpdaterEntity::ByteSum(many.data(), uint32_t(many.size())), uint32_t(0xFFull * 0x01010102ull));
}

TEST_F(UpdaterEntityTest, InitReadsTheLoadBaseAndRefusesAShortReply)
{
    LogCapture log(DEBUG_Network_FIRM);
    EXPECT_EQ(entity.LoaderInit(), aErrNone);
    EXPECT_TRUE(log.Contains("NETWORK: load base = 536870912 [20000000]\n")) << log.Text();
    SetLoader([](Loader& l) { l.initReply = {95, 0, 0x20, 0, 0}; });
    EXPECT_EQ(entity.LoaderInit(), aErrPacket);
    EXPECT_EQ(Sent(), (std::vector<Bytes>{{95, 0}, {95, 0}}));
}

TEST_F(UpdaterEntityTest, PrepareSendsFlagsAndAddressAndTakesTheModulesBlockSize)
{
    Bytes block = _block(0x60012345, 10);
    uint16_t size = 0;
    EXPECT_EQ(entity.TransferPrepare(block.data(), uint32_t(block.size()), 5, &size), aErrNone);
    EXPECT_EQ(size, 256);  // status reply 95, 7, 0, 0x01, 0x00
    EXPECT_EQ(Sent(), (std::vector<Bytes>{{95, 3, 5, 0x60, 0x01, 0x23, 0x45}}));
}

TEST_F(UpdaterEntityTest, PrepareRefusedOrWithoutABlockSizeIsAnInvalidOption)
{
    Bytes block = _block(0x60000000, 10);
    uint16_t size = 77;
    peer.setHandler([](const WirePacket&) { return std::vector<WirePacket>{{kAddress, {95, 7, 6, 1, 0}}}; });
    EXPECT_EQ(entity.TransferPrepare(block.data(), uint32_t(block.size()), 0, &size), aErrInvalidOption);
    peer.setHandler([](const WirePacket&) { return std::vector<WirePacket>{{kAddress, {95, 7, 0, 0, 0}}}; });
    EXPECT_EQ(entity.TransferPrepare(block.data(), uint32_t(block.size()), 0, &size), aErrInvalidOption);
    peer.setHandler([](const WirePacket&) { return std::vector<WirePacket>{{kAddress, {95, 7, 0}}}; });
    EXPECT_EQ(entity.TransferPrepare(block.data(), uint32_t(block.size()), 0, &size), aErrInvalidOption);
    EXPECT_EQ(size, 77);
    peer.setHandler([](const WirePacket&) { return std::vector<WirePacket>{}; });
    EXPECT_EQ(entity.TransferPrepare(block.data(), uint32_t(block.size()), 0, &size), aErrTimeout);
}

TEST_F(UpdaterEntityTest, RawPieceGoesOutInPacketsOf26AndIsCheckedBySum)
{
    Bytes block = _block(0x20000000, 60);
    EXPECT_EQ(entity.LoaderTransfer(block.data(), uint32_t(block.size())), aErrNone);
    std::vector<Bytes> sent = Sent();
    ASSERT_EQ(sent.size(), 4u);
    Bytes first = {95, 1};
    first.insert(first.end(), block.begin() + 4, block.begin() + 30);
    Bytes last = {95, 1};
    last.insert(last.end(), block.begin() + 56, block.end());
    EXPECT_EQ(sent[0], first);
    EXPECT_EQ(sent[1].size(), 28u);
    EXPECT_EQ(sent[2], last);  // 8 bytes
    EXPECT_EQ(sent[3], (Bytes{95, 4}));
}

TEST_F(UpdaterEntityTest, WrongAcknowledgedCountSendsTheSameBytesAgain)
{
    SetLoader([](Loader& l) { l.wrongCounts = 2; });
    Bytes block = _block(0x20000000, 30);
    EXPECT_EQ(entity.LoaderTransfer(block.data(), uint32_t(block.size())), aErrNone);
    std::vector<Bytes> sent = Sent();
    ASSERT_EQ(sent.size(), 5u);  // the first 26 bytes three times, the last 4, SUM
    EXPECT_EQ(sent[0], sent[1]);
    EXPECT_EQ(sent[1], sent[2]);
    EXPECT_EQ(sent[3].size(), 6u);
    EXPECT_EQ(sent[4], (Bytes{95, 4}));
}

TEST_F(UpdaterEntityTest, AModuleThatKeepsMiscountingEndsTheTransfer)
{
    SetLoader([](Loader& l) { l.wrongCounts = 1000; });
    Bytes block = _block(0x20000000, 30);
    EXPECT_EQ(entity.LoaderTransfer(block.data(), uint32_t(block.size())), aErrPacket);
    std::vector<Bytes> sent = Sent();
    EXPECT_EQ(sent.size(), size_t(UpdaterEntity::RAW_RESEND_LIMIT + 1));
    EXPECT_TRUE(std::all_of(sent.begin(), sent.end(), [&](const Bytes& p) { return p == sent[0]; }));
}

TEST_F(UpdaterEntityTest, SumMismatchIsAnInvalidOptionAndLoggedAlways)
{
    SetLoader([](Loader& l) { l.wrongSum = true; });
    LogCapture log(0);
    Bytes block = _block(0x20000000, 3, 0xFE);  // 0xFE + 0x05 + 0x0C
    EXPECT_EQ(entity.LoaderTransfer(block.data(), uint32_t(block.size())), aErrInvalidOption);
    EXPECT_TRUE(log.Contains("\nNETWORK: Unable to validate transfer [00] [0000010F != 00000110].\n")) << log.Text();
}

TEST_F(UpdaterEntityTest, WithoutSumVerificationNoSumIsAsked)
{
    entity.init(&module, 0, false, false);
    Bytes block = _block(0x20000000, 30);
    EXPECT_EQ(entity.LoaderTransfer(block.data(), uint32_t(block.size())), aErrNone);
    std::vector<Bytes> sent = Sent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1][1], 1);
}

TEST_F(UpdaterEntityTest, FirmwareGoesInModuleSizedPiecesEachSummedAndWritten)
{
    Bytes block = _block(0x60000000, 600);
    EXPECT_EQ(entity.FirmwareTransfer(block.data(), uint32_t(block.size()), 256, display), aErrNone);
    std::vector<Bytes> writes;
    size_t sums = 0;
    for (const Bytes& p : Sent()) {
        if (p[1] == 5)
            writes.push_back(p);
        if (p[1] == 4)
            ++sums;
    }
    EXPECT_EQ(writes, (std::vector<Bytes>{{95, 5, 1, 0}, {95, 5, 1, 0}, {95, 5, 0, 88}}));
    EXPECT_EQ(sums, 3u);
    EXPECT_EQ(display.progress_calls, (std::vector<std::string>{"on", "off"}));
    ASSERT_EQ(display.progress.size(), 3u);
    EXPECT_DOUBLE_EQ(display.progress[0], 260.0 / 604.0);
    EXPECT_DOUBLE_EQ(display.progress[2], 1.0);
}

TEST_F(UpdaterEntityTest, RefusedWriteEndsTheFirmwareTransfer)
{
    SetLoader([](Loader& l) { l.writeStatus = 8; });
    Bytes block = _block(0x60000000, 600);
    EXPECT_EQ(entity.FirmwareTransfer(block.data(), uint32_t(block.size()), 256, display), aErrInvalidOption);
    size_t writes = 0;
    for (const Bytes& p : Sent())
        writes += p[1] == 5;
    EXPECT_EQ(writes, 1u);
}

TEST_F(UpdaterEntityTest, UeiDataGoesAsOneByteStringPerPiece)
{
    EXPECT_EQ(entity.CheckUEIDataSupport(), aErrNone);
    EXPECT_TRUE(entity.ueiData);
    Bytes block = _block(0x60000000, 50);
    EXPECT_EQ(entity.FirmwareTransfer(block.data(), uint32_t(block.size()), 256, display), aErrNone);
    std::vector<Bytes> sent = Sent();
    ASSERT_EQ(sent.size(), 6u);  // description query, three chunks, SUM, WRITE
    EXPECT_EQ(sent[0], (Bytes{73, 1, 95, 10, 0, 0x80}));
    Bytes first = {95, 0x8A, 0x20};
    first.insert(first.end(), block.begin() + 4, block.begin() + 28);
    first.push_back(0x80);
    EXPECT_EQ(sent[1], first);
    EXPECT_EQ(sent[2].back(), 0x81);
    EXPECT_EQ(sent[3].size(), 3u + 2 + 1);
    EXPECT_EQ(sent[3].back(), 0x02);
    EXPECT_EQ(sent[4], (Bytes{95, 4}));
    EXPECT_EQ(sent[5], (Bytes{95, 5, 0, 50}));
}

TEST_F(UpdaterEntityTest, WithoutUeiDataSupportTheDataStaysRaw)
{
    SetLoader([](Loader& l) { l.hasUeiData = false; });
    EXPECT_EQ(entity.CheckUEIDataSupport(), aErrInvalidOption);
    EXPECT_FALSE(entity.ueiData);
}

TEST_F(UpdaterEntityTest, PooledPacketsFollowTheFeatureBit)
{
    LogCapture log(DEBUG_Network_FIRM);
    SetLoader([](Loader& l) { l.features = 0x7FFFFFFF; });
    EXPECT_EQ(entity.CheckPooledPacketsSupport(), aErrNone);
    SetLoader([](Loader& l) { l.features = 0x80000000; });
    EXPECT_EQ(entity.CheckPooledPacketsSupport(), aErrNone);
    EXPECT_EQ(Sent(), (std::vector<Bytes>{{3, 45 | 0x40, 0x20}, {3, 45 | 0x40, 0x20}}));
    EXPECT_TRUE(log.Contains("NETWORK: Protocol Version: 2147483647 Error: 0\n")) << log.Text();
}

TEST_F(UpdaterEntityTest, RebootBehindARouterWaitsOnePauseOnly)
{
    entity.init(&module, 0, true, true);
    EXPECT_EQ(entity.LoaderReboot(display), aErrNone);
    EXPECT_EQ(display.spinner_calls, (std::vector<bool>{true, false}));
    EXPECT_EQ(Sent(), (std::vector<Bytes>{{95, 6}}));
}

TEST_F(UpdaterEntityTest, RebootWithTheLinkAlreadyDownReturnsTheSendResultAtOnce)
{
    module.disconnect();
    EXPECT_NE(entity.LoaderReboot(display), aErrNone);
    EXPECT_EQ(display.spinner_calls, (std::vector<bool>{false}));
}
