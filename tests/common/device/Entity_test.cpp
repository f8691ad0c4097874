// Entity exchanges against a scripted module over a real TCP link.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

#include "common/device/I2CClass.h"
#include "common/device/Module.h"
#include "common/device/SystemClass.h"
#include "support/ScriptedModule.h"

using namespace Kestrune::Tessarine;
using testsupport::LoopbackSpec;
using testsupport::NoNetworking;
using testsupport::ScriptedModule;
using testsupport::WirePacket;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr uint8_t kAddress = 4;

class EntityTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(peer.port(), 0);
        ASSERT_EQ(module.setConfig(NoNetworking()), aErrNone);
        ASSERT_EQ(module.connectFromSpec(LoopbackSpec(peer.port())), aErrNone);
        ASSERT_EQ(module.getModuleAddress(), kAddress);
        system.init(&module, 0);
    }

    // Answers every packet with the given replies, in order, one list per packet.
    void script(std::vector<std::vector<WirePacket>> replies)
    {
        auto queue = std::make_shared<std::vector<std::vector<WirePacket>>>(std::move(replies));
        peer.setHandler([queue](const WirePacket&) {
            if (queue->empty())
                return std::vector<WirePacket>{};
            std::vector<WirePacket> next = queue->front();
            queue->erase(queue->begin());
            return next;
        });
    }

    ScriptedModule peer{kAddress};
    Module module{2, true};
    SystemClass system;
};

}  // namespace

TEST_F(EntityTest, GetSerialNumberSendsTheRequestAndDecodesBigEndian)
{
    script({{{kAddress, {3, 9, 0, 0x12, 0x34, 0x56, 0x78}}}});
    uint32_t serial = 0;
    EXPECT_EQ(system.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, 0x12345678u);
    std::vector<WirePacket> sent = peer.received();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].address, kAddress);
    EXPECT_EQ(sent[0].payload, (Bytes{3, 0x49, 0x20}));
}

TEST_F(EntityTest, RouteToMeIsASetAcknowledgedWithoutValue)
{
    script({{{kAddress, {3, 0xD4, 0}}}});
    EXPECT_EQ(system.routeToMe(1), aErrNone);
    ASSERT_EQ(peer.received().size(), 1u);
    EXPECT_EQ(peer.received()[0].payload, (Bytes{3, 0x94, 0x20, 1}));
}

TEST_F(EntityTest, ErrorReplyReturnsTheModulesCode)
{
    script({{{kAddress, {3, 9, 0x80, 5}}}});
    uint32_t serial = 0xAAAAAAAA;
    EXPECT_EQ(system.getSerialNumber(&serial), aErrBusy);
    EXPECT_EQ(serial, 0xAAAAAAAAu) << "no value on an error";
}

TEST_F(EntityTest, SilentModuleTimesOut)
{
    uint8_t model = 0;
    EXPECT_EQ(system.getModel(&model), aErrTimeout);
}

TEST_F(EntityTest, RepliesForOtherOptionsStayForTheirOwnWaiters)
{
    // The module answers the serial-number request with a model reply first.
    script({{{kAddress, {3, 8, 0, 13}}, {kAddress, {3, 9, 0, 0, 0, 0, 7}}}, {}});
    uint32_t serial = 0;
    EXPECT_EQ(system.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, 7u);
    uint8_t model = 0;
    EXPECT_EQ(system.getModel(&model), aErrNone) << "the queued model reply is still there";
    EXPECT_EQ(model, 13);
}

TEST_F(EntityTest, DrainDropsQueuedRepliesForOneOption)
{
    script({{{kAddress, {3, 8, 0, 13}}, {kAddress, {3, 9, 0, 0, 0, 0, 7}}}, {}});
    uint32_t serial = 0;
    ASSERT_EQ(system.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(system.drainUEI(systemModel), aErrNone);
    uint8_t model = 0;
    EXPECT_EQ(system.getModel(&model), aErrTimeout);
}

TEST_F(EntityTest, SubindexFollowsTheSpecifier)
{
    script({{{kAddress, {3, 39, 0, 2, 0x55}}}, {{kAddress, {3, 39 | 0xC0, 0}}}});
    EntityClass entity;
    entity.init(&module, cmdSYSTEM, 0);
    uint8_t value = 0;
    EXPECT_EQ(entity.getUEI8(39, 2, &value), aErrNone);
    EXPECT_EQ(entity.setUEI16(39, 3, 0xBEEF), aErrNone);
    std::vector<WirePacket> sent = peer.received();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].payload, (Bytes{3, 39 | 0x40, 0x20, 2}));
    EXPECT_EQ(sent[1].payload, (Bytes{3, 39 | 0x80, 0x20, 3, 0xBE, 0xEF}));
}

TEST_F(EntityTest, ByteStringGoesOutInSequencedChunks)
{
    script({{}, {}, {{kAddress, {3, 32 | 0xC0, 0}}}});
    Bytes name(50);
    for (size_t i = 0; i < name.size(); ++i)
        name[i] = static_cast<uint8_t>('A' + i % 26);
    EXPECT_EQ(system.setName(name.data(), name.size()), aErrNone);
    std::vector<WirePacket> sent = peer.received();
    ASSERT_EQ(sent.size(), 3u);
    const uint8_t sequences[] = {0x80, 0x81, 0x02};
    const size_t sizes[] = {24, 24, 2};
    size_t offset = 0;
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(sent[i].payload.size(), sizes[i] + 4);
        EXPECT_EQ(sent[i].payload[0], 3);
        EXPECT_EQ(sent[i].payload[1], 32 | 0x80);
        EXPECT_EQ(sent[i].payload[2], 0x20);
        EXPECT_EQ(sent[i].payload.back(), sequences[i]);
        EXPECT_TRUE(std::equal(name.begin() + offset, name.begin() + offset + sizes[i], sent[i].payload.begin() + 3));
        offset += sizes[i];
    }
}

TEST_F(EntityTest, EmptyByteStringIsOnePacketWithSequenceZero)
{
    script({{{kAddress, {3, 32 | 0xC0, 0}}}});
    EXPECT_EQ(system.setName(nullptr, 0), aErrNone);
    ASSERT_EQ(peer.received().size(), 1u);
    EXPECT_EQ(peer.received()[0].payload, (Bytes{3, 32 | 0x80, 0x20, 0x00}));
}

TEST_F(EntityTest, ByteStringComesBackInOrder)
{
    Bytes first = {3, 32, 0};
    for (int i = 0; i < 24; ++i)
        first.push_back(static_cast<uint8_t>('a' + i));
    first.push_back(0x80);
    script({{{kAddress, first}, {kAddress, {3, 32, 0, 'y', 'z', 0x01}}}});
    uint8_t name[32];
    size_t length = 0;
    EXPECT_EQ(system.getName(name, sizeof name, &length), aErrNone);
    EXPECT_EQ(length, 26u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(name), length), "abcdefghijklmnopqrstuvwxyz");
    ASSERT_EQ(peer.received().size(), 1u);
    EXPECT_EQ(peer.received()[0].payload, (Bytes{3, 32 | 0x40, 0x20}));
}

TEST_F(EntityTest, ByteStringLongerThanTheBufferEndsWithCodeOne)
{
    Bytes reply = {3, 32, 0};
    reply.insert(reply.end(), 24, 'x');
    reply.push_back(0x00);
    script({{{kAddress, reply}}});
    uint8_t buffer[10];
    size_t count = 99;
    EXPECT_EQ(system.getUEIBytes(systemName, buffer, sizeof buffer, &count), 1u);
    EXPECT_EQ(count, 0u);
}

TEST_F(EntityTest, ByteStringOfMoreThan128ChunksFollowsTheWrappingChunkNumber)
{
    std::vector<WirePacket> chunks;
    for (int i = 0; i < 130; ++i) {
        bool more = i < 129;
        chunks.push_back(
            {kAddress,
             {3, 31, 0, static_cast<uint8_t>(i), 0, 0, 0, static_cast<uint8_t>((i & 0x7F) | (more ? 0x80 : 0))}});
    }
    script({chunks});
    uint32_t words[200] = {};
    size_t count = 0;
    EXPECT_EQ(system.getInputPowerBehaviorConfig(words, 200, &count), aErrNone);
    ASSERT_EQ(count, 130u);
    EXPECT_EQ(words[0], 0u);
    EXPECT_EQ(words[1], 0x01000000u) << "words are big-endian on the wire";
    EXPECT_EQ(words[129], 0x81000000u);
}

TEST_F(EntityTest, ByteCountCheck)
{
    size_t count = 10;
    EXPECT_EQ(system.getUEIBytesCheck(&count, 4), aErrMemory);
    EXPECT_EQ(count, 10u);
    count = 12;
    EXPECT_EQ(system.getUEIBytesCheck(&count, 4), aErrNone);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(system.getUEIBytesCheck(nullptr, 4), aErrParam);
}

TEST_F(EntityTest, StoreCommandsNameTheEntity)
{
    script({{{kAddress, {92, 0xC0, 0}}}, {{kAddress, {92, 0xC2, 0}}}});
    I2CClass bus;
    bus.init(&module, 1);
    EXPECT_EQ(system.saveEntityToStore(), aErrNone);
    EXPECT_EQ(bus.loadEntityFromStore(), aErrNone);
    std::vector<WirePacket> sent = peer.received();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].payload, (Bytes{92, 0x80, 0x20, 0, 0, 3, 0}));
    EXPECT_EQ(sent[1].payload, (Bytes{92, 0x82, 0x20, 0, 0, 8, 1}));
}

TEST_F(EntityTest, AwaitsAValueTheModuleSends)
{
    peer.send({kAddress, {3, 22, 0, 0, 0, 1, 0}});
    uint32_t uptime = 0;
    EXPECT_EQ(system.awaitUEI32Val(systemUptime, &uptime), aErrNone);
    EXPECT_EQ(uptime, 256u);
    EXPECT_EQ(system.awaitUEI32Val(systemUptime, &uptime), aErrTimeout);
}

TEST_F(EntityTest, RawPacketsAreLimitedToTwentySevenDataBytes)
{
    Bytes data(28, 1);
    EXPECT_EQ(module.getLink()->sendPacket(kAddress, 40, 28, data.data()), aErrParam);
    EXPECT_EQ(module.getLink()->sendPacket(3, 40, 1, data.data()), aErrPacket) << "odd address";
    EXPECT_EQ(module.getLink()->sendPacket(0, 40, 1, data.data()), aErrPacket);
    EXPECT_EQ(module.getLink()->sendPacket(kAddress, 40, 27, data.data()), aErrNone);
    ASSERT_TRUE(peer.waitForReceived(1));
    EXPECT_EQ(peer.received()[0].payload.size(), 28u);
}

TEST_F(EntityTest, I2CWritesReadsAndRefusesLongTransfers)
{
    I2CClass bus;
    bus.init(&module, 0);
    ASSERT_EQ(bus.setSpeed(3), aErrNone);
    EXPECT_EQ(bus.setSpeed(4), aErrParam);
    Bytes data(24, 0);
    EXPECT_EQ(bus.write(0x10, 24, data.data()), aErrSize);
    EXPECT_TRUE(peer.received().empty());

    script({{{kAddress, {8, 0, 0x10, 0, 0}}},
            {{kAddress, {8, 0, 0x12, 0, 0x80 | 6}}},
            {{kAddress, {8, 0, 0x11, 2, 0, 0xCA, 0xFE}}},
            {{kAddress, {8, 0, 0x14, 0}}}});
    EXPECT_EQ(bus.write(0x10, 2, data.data()), aErrNone);
    EXPECT_EQ(bus.write(0x12, 2, data.data()), aErrIO) << "status bit 7 carries the code";
    uint8_t read[2] = {};
    EXPECT_EQ(bus.read(0x10, 2, read), aErrNone);
    EXPECT_EQ(read[0], 0xCA);
    EXPECT_EQ(read[1], 0xFE);
    EXPECT_EQ(bus.write(0x14, 0, nullptr), aErrPacket) << "a reply without status byte";
    std::vector<WirePacket> sent = peer.received();
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[0].payload, (Bytes{8, 0, 0x10, 2, 3, 0, 0}));
    EXPECT_EQ(sent[2].payload, (Bytes{8, 0, 0x11, 2, 3}));
}

TEST_F(EntityTest, ModuleDescriptionQueries)
{
    EXPECT_EQ(module.hasUEI(cmdUPGRADE, 10, 0, 0xC0), aErrParam);
    EXPECT_EQ(module.hasUEI(cmdUPGRADE, 10, 0, 0x01), aErrParam);
    EXPECT_TRUE(peer.received().empty()) << "refused queries send nothing";

    script({{{kAddress, {73, 1, 95, 10, 0, 0}}},
            {{kAddress, {73, 0xFF, 0, 1, 0xE2, 0x40}}},
            {{kAddress, {73, 0xFF, 0, 1, 0xE2}}}});
    EXPECT_EQ(module.hasUEI(cmdUPGRADE, 10, 0, 0x40), aErrNone);
    uint32_t build = 0;
    EXPECT_EQ(module.getBuild(&build), aErrNone);
    EXPECT_EQ(build, 123456u);
    EXPECT_EQ(module.getBuild(&build), aErrSize);
    std::vector<WirePacket> sent = peer.received();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].payload, (Bytes{73, 1, 95, 10, 0, 0x40}));
    EXPECT_EQ(sent[1].payload, (Bytes{73, 0xFF}));
}

TEST_F(EntityTest, EchoTestAndClassQuantity)
{
    script({{{kAddress, {23, 'h', 'i'}}}, {{kAddress, {23, 'h', 'o'}}}, {{kAddress, {73, 4, 8, 1}}}});
    const uint8_t hi[] = {'h', 'i'};
    EXPECT_EQ(module.debug(hi, 2), aErrNone);
    EXPECT_EQ(module.debug(hi, 2), aErrIO) << "a wrong echo";
    uint8_t quantity = 0;
    EXPECT_EQ(module.classQuantity(cmdI2C, &quantity), aErrNone);
    EXPECT_EQ(quantity, 1);
    std::vector<WirePacket> sent = peer.received();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].payload, (Bytes{23, 'h', 'i'}));
    EXPECT_EQ(sent[2].payload, (Bytes{73, 4, 8}));
}

TEST_F(EntityTest, EntityWithoutModuleHasNoResource)
{
    SystemClass unbound;
    uint32_t serial = 0;
    EXPECT_EQ(unbound.getSerialNumber(&serial), aErrResource);
    EXPECT_EQ(unbound.callUEI(10), aErrResource);
}

namespace {

struct Samples {
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<Bytes> payloads;
};

void _take_sample(const aPacket* packet, void* ref)
{
    Samples* samples = static_cast<Samples*>(ref);
    std::lock_guard<std::mutex> lock(samples->mutex);
    samples->payloads.emplace_back(packet->data, packet->data + packet->dataSize);
    samples->arrived.notify_all();
}

}  // namespace

TEST_F(EntityTest, StreamSamplesAnswerGetsUntilTheCallbacksGo)
{
    Samples samples;
    Link* link = module.getLink();
    ASSERT_EQ(link->registerStreamCallback(kAddress, cmdSYSTEM, systemUptime, 0, _take_sample, &samples), aErrNone);
    peer.send({kAddress, {3, systemTemperature, 0x40, 0, 0, 0x88, 0xB8}});  // recorded, no callback
    peer.send({kAddress, {3, systemUptime, 0x40, 0, 0, 1, 0}});
    {
        std::unique_lock<std::mutex> lock(samples.mutex);
        ASSERT_TRUE(
            samples.arrived.wait_for(lock, std::chrono::seconds(10), [&] { return !samples.payloads.empty(); }));
        EXPECT_EQ(samples.payloads.size(), 1u);
        EXPECT_EQ(samples.payloads[0], (Bytes{3, systemUptime, 0x40, 0, 0, 1, 0}));
    }

    uint32_t uptime = 0;
    EXPECT_EQ(system.getUptime(&uptime), aErrNone);
    EXPECT_EQ(uptime, 256u);
    EXPECT_EQ(system.getUptime(&uptime), aErrStreamStale) << "a value already read";
    EXPECT_EQ(uptime, 256u);
    int32_t temperature = 0;
    EXPECT_EQ(system.getTemperature(&temperature), aErrNone);
    EXPECT_EQ(temperature, 35000);
    EXPECT_TRUE(peer.received().empty()) << "recorded values are answered without asking the module";

    ASSERT_EQ(link->removeStreamCallbacks(), aErrNone);
    EXPECT_EQ(system.getUptime(&uptime), aErrTimeout) << "now the module is asked, and it is silent";
    EXPECT_EQ(peer.received().size(), 1u);
}
