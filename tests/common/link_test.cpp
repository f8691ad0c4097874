#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "common/aLink.h"
#include "unix/aTime.h"
#include "support/ModulePeer.h"
#include "support/TcpListener.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Packets = std::vector<ModulePeer::Packet>;

// Waits that end on an event; the limit only keeps a broken build from hanging.
constexpr int kHangGuardMs = 60000;

bool waitStatus(uint32_t id, int32_t status)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kHangGuardMs);
    while (aLink_GetStatus(id) != status) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

aPacket* packetOf(uint8_t address, const Bytes& payload)
{
    return aPacket_CreateWithData(address, static_cast<uint8_t>(payload.size()), payload.data());
}

Bytes payloadOf(const aPacket* p)
{
    return Bytes(p->data, p->data + p->dataSize);
}

// Packets with a payload from one address. (Empty packets from the module's address are
// its answers to magic packets: a resynchronisation can leave surplus ones behind.)
uint8_t fromAddress(const aPacket* packet, const void* ref)
{
    return packet->address == *static_cast<const uint8_t*>(ref) && packet->dataSize > 0;
}

// Puts a packet on the link and awaits the peer's echo of it.
Bytes roundTrip(uint32_t id, uint8_t address, const Bytes& payload)
{
    aPacket* out = packetOf(address, payload);
    EXPECT_EQ(aLink_PutPacket(id, out), aErrNone);
    aPacket_Destroy(&out);
    aPacket* in = aLink_AwaitFirst(id, fromAddress, &address, kHangGuardMs);
    if (!in)
        return {};
    Bytes got = payloadOf(in);
    aPacket_Destroy(&in);
    return got;
}

bool hasPacket(const Packets& packets, uint8_t address, const Bytes& payload)
{
    for (auto& p : packets)
        if (p.address == address && p.payload == payload)
            return true;
    return false;
}

struct TcpLink {
    std::unique_ptr<ModulePeer> peer = ModulePeer::overTcp(4);
    uint32_t id = 0;
    explicit TcpLink(uint32_t serial = 0x40F5849A)
    {
        id = aLink_CreateTCPIP(serial, TcpListener::loopback(), peer->port());
    }
    ~TcpLink()
    {
        while (id)
            aLink_Destroy(&id);
    }
};

TEST(Link, UnregisteredIds)
{
    EXPECT_EQ(aLink_GetStatus(0), LinkStatus::noStream);
    EXPECT_EQ(aLink_GetStatus(0xFFFFFF), LinkStatus::noStream);
    uint32_t none = 0;
    EXPECT_EQ(aLink_Destroy(&none), aErrParam);
    EXPECT_EQ(none, 0u);
    EXPECT_EQ(aLink_Destroy(nullptr), aErrParam);
    EXPECT_EQ(aLink_Start(12345), aErrParam);
    EXPECT_EQ(aLink_Sync(12345), aErrParam);
    EXPECT_EQ(aLink_ForceRoute(12345, 1), aErrNotFound);
    EXPECT_EQ(aLink_EnablePooledPackets(12345, true), aErrParam);
    EXPECT_EQ(aLink_InstallUserPacketFilter(12345, nullptr, nullptr), aErrParam);
    EXPECT_EQ(aLink_Init(12345, nullptr), 0u);
    aPacket* p = packetOf(4, {1});
    EXPECT_EQ(aLink_PutPacket(12345, p), aErrParam);
    aPacket_Destroy(&p);
    EXPECT_EQ(aLink_GetPacket(12345), nullptr);
    EXPECT_EQ(aLink_AwaitPacket(12345, 0), nullptr);
    EXPECT_EQ(aLink_DrainPackets(12345, fromAddress, nullptr), 0u);
}

TEST(Link, CreationFailures)
{
    EXPECT_EQ(aLink_CreateSerial(1, "/dev/null", 1200), 0u);
    EXPECT_EQ(aLink_CreateSerial(1, "/dev/no-such-port", 115200), 0u);
    uint16_t closedPort;
    {
        TcpListener listener;
        closedPort = listener.port();
    }
    EXPECT_EQ(aLink_CreateTCPIP(7, TcpListener::loopback(), closedPort), 0u);
    EXPECT_EQ(aLink_Create(nullptr), 0u);
}

TEST(Link, TcpStartsRoutesSyncsAndEchoes)
{
    TcpLink l;
    ASSERT_NE(l.id, 0u);
    EXPECT_EQ(aLink_GetStatus(l.id), LinkStatus::running);
    EXPECT_TRUE(l.peer->waitFor([](const Packets& p) { return hasPacket(p, 0xAF, {1}); }, kHangGuardMs));

    EXPECT_EQ(aLink_Sync(l.id), aErrNone);
    EXPECT_GE(l.peer->magicCount(), 6u);
    EXPECT_EQ(aLink_GetStatus(l.id), LinkStatus::running);
    aPacket* surplus = aLink_GetPacket(l.id);
    EXPECT_EQ(surplus, nullptr) << "answers to the magic packets were left queued";
    aPacket_Destroy(&surplus);

    EXPECT_EQ(roundTrip(l.id, 4, {0x11, 0x22, 0x33}), (Bytes{0x11, 0x22, 0x33}));
    Bytes longest(28);
    for (size_t i = 0; i < longest.size(); i++)
        longest[i] = static_cast<uint8_t>(i * 7);
    EXPECT_EQ(roundTrip(l.id, 4, longest), longest);
}

TEST(Link, PacketsLeaveInTheOrderPut)
{
    TcpLink l;
    ASSERT_EQ(aLink_Sync(l.id), aErrNone);
    l.peer->setEcho(false);
    // Some go straight to the stream, some through the writer while it is busy: the
    // order must hold across both ways out, for each of two putting threads.
    auto putRun = [&](uint8_t tag) {
        for (int i = 0; i < 300; i++) {
            aPacket* p = packetOf(4, {tag, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)});
            EXPECT_EQ(aLink_PutPacket(l.id, p), aErrNone);
            aPacket_Destroy(&p);
        }
    };
    std::thread other(putRun, 2);
    putRun(1);
    other.join();
    auto all = [](const Packets& p) {
        size_t n = 0;
        for (auto& packet : p)
            n += packet.address == 4 && packet.payload.size() == 3;
        return n == 600;
    };
    ASSERT_TRUE(l.peer->waitFor(all, kHangGuardMs));
    int next[3] = {0, 0, 0};
    for (auto& p : l.peer->received()) {
        if (p.address != 4 || p.payload.size() != 3)
            continue;
        int tag = p.payload[0];
        EXPECT_EQ((p.payload[1] << 8) | p.payload[2], next[tag]) << "thread " << tag;
        next[tag] = ((p.payload[1] << 8) | p.payload[2]) + 1;
    }
}

TEST(Link, SharedByDeviceWithUseCounts)
{
    TcpLink l(0x1234);
    ASSERT_NE(l.id, 0u);
    uint32_t second = aLink_CreateTCPIP(0x1234, TcpListener::loopback(), l.peer->port());
    EXPECT_EQ(second, l.id);
    uint32_t other = aLink_CreateTCPIP(0x5678, TcpListener::loopback(), l.peer->port());
    EXPECT_NE(other, 0u);
    EXPECT_NE(other, l.id);
    aLink_Destroy(&other);

    int32_t type = -1;
    uint32_t serial = 0, address = 0, port = 0;
    EXPECT_EQ(aLink_GetIdentity(l.id, &type, &serial, &address, &port), aErrNone);
    EXPECT_EQ(type, LinkType::tcpip);
    EXPECT_EQ(serial, 0x1234u);
    EXPECT_EQ(address, TcpListener::loopback());
    EXPECT_EQ(port, l.peer->port());

    uint32_t copy = l.id;
    EXPECT_EQ(aLink_Destroy(&second), aErrNone);
    EXPECT_EQ(second, 0u);
    EXPECT_EQ(aLink_GetStatus(copy), LinkStatus::running);
    EXPECT_EQ(aLink_Destroy(&l.id), aErrNone);
    EXPECT_EQ(aLink_GetStatus(copy), LinkStatus::noStream);
    EXPECT_TRUE(l.peer->waitFor([](const Packets& p) { return hasPacket(p, 0xAF, {0}); }, kHangGuardMs))
        << "a stopping link sends the route packet with 0";
}

TEST(Link, HeartbeatsAreAnsweredAndNotQueued)
{
    TcpLink l;
    ASSERT_EQ(aLink_Sync(l.id), aErrNone);
    l.peer->sendPacket(4, {0, 1});
    EXPECT_TRUE(l.peer->waitFor([](const Packets& p) { return hasPacket(p, 4, {0, 3}); }, kHangGuardMs));
    l.peer->sendPacket(4, {0, 0});
    EXPECT_TRUE(l.peer->waitFor([](const Packets& p) { return hasPacket(p, 4, {0, 2}); }, kHangGuardMs));
    l.peer->setEcho(false);
    l.peer->sendPacket(4, {5, 1});  // two bytes, but not a heartbeat
    uint8_t four = 4;
    aPacket* got = aLink_AwaitFirst(l.id, fromAddress, &four, kHangGuardMs);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(payloadOf(got), (Bytes{5, 1}));
    aPacket_Destroy(&got);
    EXPECT_EQ(aLink_GetPacket(l.id), nullptr);
}

TEST(Link, SyncNeedsTwoEmptyPacketsFromAnEvenAddress)
{
    for (uint8_t bad : {0x00, 0x01}) {
        TcpLink l;
        // The first answers begin with a byte that no module address can be.
        l.peer->setMagicReply([bad](size_t n) { return n < 6 ? Bytes{bad, 0x00} : Bytes{4, 0}; });
        ASSERT_EQ(aLink_Sync(l.id), aErrNone) << int(bad);
        EXPECT_GT(l.peer->magicCount(), 6u) << "a bad first byte must start synchronisation over";
        EXPECT_EQ(roundTrip(l.id, 4, {9}), (Bytes{9}));
    }
}

TEST(Link, OddAddressesAreNeverQueuedAndTheLinkResynchronises)
{
    TcpLink l;
    ASSERT_EQ(aLink_Sync(l.id), aErrNone);
    size_t magicBefore = l.peer->magicCount();
    l.peer->setEcho(false);
    l.peer->send({0x05, 0x01, 0x09});
    EXPECT_TRUE(l.peer->waitMagicAbove(magicBefore, kHangGuardMs));
    EXPECT_TRUE(waitStatus(l.id, LinkStatus::running));
    aLink_DrainPackets(
        l.id, [](const aPacket* p, const void*) -> uint8_t { return p->dataSize == 0; }, nullptr);
    l.peer->sendPacket(4, {0x42});
    uint8_t four = 4;
    aPacket* got = aLink_AwaitFirst(l.id, fromAddress, &four, kHangGuardMs);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(payloadOf(got), (Bytes{0x42}));
    aPacket_Destroy(&got);
    while (aPacket* p = aLink_GetPacket(l.id)) {
        EXPECT_EQ(p->address % 2, 0) << "an odd address reached the queue";
        aPacket_Destroy(&p);
    }
}

TEST(Link, GarbageNeverCrashesAndNeverReachesTheQueue)
{
    TcpLink l;
    ASSERT_EQ(aLink_Sync(l.id), aErrNone);
    l.peer->setEcho(false);
    Bytes garbage;
    uint32_t x = 12345;
    for (int i = 0; i < 3000; i++) {
        x = x * 1103515245 + 12345;
        garbage.push_back(static_cast<uint8_t>((x >> 16) | 1));  // odd bytes: never a valid address
    }
    l.peer->send(garbage);
    EXPECT_TRUE(l.peer->waitMagicAbove(6, kHangGuardMs));
    EXPECT_TRUE(waitStatus(l.id, LinkStatus::running));
    aLink_DrainPackets(
        l.id, [](const aPacket* p, const void*) -> uint8_t { return p->dataSize == 0; }, nullptr);
    l.peer->setEcho(true);
    EXPECT_EQ(roundTrip(l.id, 4, {1, 2}), (Bytes{1, 2}));
}

TEST(Link, AwaitFirstOnASyncingLinkReturnsAtOnce)
{
    TcpLink l;
    ASSERT_EQ(aLink_Sync(l.id), aErrNone);
    l.peer->setMagicReply([](size_t) { return Bytes{}; });  // the module stops answering
    l.peer->send({0x07});
    ASSERT_TRUE(waitStatus(l.id, LinkStatus::syncing));
    uint8_t four = 4;
    EXPECT_EQ(aLink_AwaitFirst(l.id, fromAddress, &four, 24 * 3600 * 1000), nullptr);
}

TEST(Link, VanishedPeerMeansIoErrorAndTheLinkRecovers)
{
    TcpLink l;
    ASSERT_EQ(aLink_Sync(l.id), aErrNone);
    l.peer->vanish();
    ASSERT_TRUE(waitStatus(l.id, LinkStatus::ioError));
    ASSERT_TRUE(l.peer->comeBack());
    EXPECT_TRUE(l.peer->waitConnected(kHangGuardMs));
    EXPECT_TRUE(waitStatus(l.id, LinkStatus::running));
    aLink_DrainPackets(
        l.id, [](const aPacket* p, const void*) -> uint8_t { return p->dataSize == 0; }, nullptr);
    EXPECT_EQ(roundTrip(l.id, 4, {0x5A}), (Bytes{0x5A}));
}

TEST(Link, ResetMakesANewConnection)
{
    TcpLink l;
    ASSERT_EQ(aLink_Sync(l.id), aErrNone);
    l.peer->vanish();
    ASSERT_TRUE(l.peer->comeBack());
    EXPECT_EQ(aLink_Reset(l.id), aErrNone);
    EXPECT_TRUE(l.peer->waitConnected(kHangGuardMs));
    EXPECT_EQ(aLink_Sync(l.id), aErrNone);
    EXPECT_EQ(roundTrip(l.id, 4, {0x33}), (Bytes{0x33}));
}

uint8_t consumeMarked(const aPacket* packet, const void* ref)
{
    if (packet->dataSize == 0 || packet->data[0] != 0x77)
        return 0;
    static_cast<std::atomic<int>*>(const_cast<void*>(ref))->fetch_add(1);
    return 1;
}

TEST(Link, UserFilterConsumesPackets)
{
    TcpLink l;
    ASSERT_EQ(aLink_Sync(l.id), aErrNone);
    std::atomic<int> consumed{0};
    ASSERT_EQ(aLink_InstallUserPacketFilter(l.id, consumeMarked, &consumed), aErrNone);
    l.peer->setEcho(false);
    l.peer->sendPacket(4, {0x77, 1});
    l.peer->sendPacket(4, {0x78, 2});
    uint8_t four = 4;
    aPacket* got = aLink_AwaitFirst(l.id, fromAddress, &four, kHangGuardMs);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(payloadOf(got), (Bytes{0x78, 2}));
    aPacket_Destroy(&got);
    EXPECT_EQ(consumed, 1);
    EXPECT_EQ(aLink_InstallUserPacketFilter(l.id, nullptr, nullptr), aErrNone);
    l.peer->sendPacket(4, {0x77, 3});
    got = aLink_AwaitFirst(l.id, fromAddress, &four, kHangGuardMs);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(payloadOf(got), (Bytes{0x77, 3}));
    aPacket_Destroy(&got);
}

TEST(Link, PacketDebugLog)
{
    TcpLink l;
    uint8_t direction, length = 30, buffer[64];
    EXPECT_EQ(aLink_PacketDebug_Read(l.id, &direction, &length, buffer), aErrNotReady);
    EXPECT_EQ(aLink_PacketDebug_Disable(l.id), aErrNotReady);
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(l.id, 0x4000001), aErrParam);
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(l.id, 4096), aErrNone);
    ASSERT_EQ(aLink_PacketDebug_Enable(l.id), aErrNone);
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(l.id, 8192), aErrBusy);
    ASSERT_EQ(aLink_Sync(l.id), aErrNone);
    while (aLink_PacketDebug_Read(l.id, &direction, &(length = 64), buffer) == aErrNone) {
    }
    EXPECT_EQ(roundTrip(l.id, 4, {0xAB, 0xCD}), (Bytes{0xAB, 0xCD}));
    // The writer logs a packet after the stream write returns, so the echo can be logged
    // first: keep reading until both records are in (or a generous wait has passed).
    const Bytes wire = {4, 2, 0xAB, 0xCD};
    bool sent = false, received = false;
    for (int waits = 0; !(sent && received) && waits < 500; ++waits) {
        length = sizeof buffer;
        if (aLink_PacketDebug_Read(l.id, &direction, &length, buffer) != aErrNone) {
            aTime_MSSleep(10);
            continue;
        }
        const Bytes record(buffer, buffer + length);
        sent |= direction == 1 && record == wire;
        received |= direction == 2 && record == wire;
    }
    while (aLink_PacketDebug_Read(l.id, &direction, &(length = 64), buffer) == aErrNone) {
    }
    EXPECT_TRUE(sent);
    EXPECT_TRUE(received);

    const uint8_t text[] = {'h', 'i'};
    EXPECT_EQ(aLink_PacketDebug_Write(l.id, 3, 2, text), aErrNone);
    length = 1;
    EXPECT_EQ(aLink_PacketDebug_Read(l.id, &direction, &length, buffer), aErrOverrun);
    EXPECT_EQ(length, 2);
    EXPECT_EQ(aLink_PacketDebug_Read(l.id, &direction, &length, buffer), aErrNone);
    EXPECT_EQ(direction, 3);

    EXPECT_EQ(aLink_PacketDebug_Disable(l.id), aErrNone);
    EXPECT_EQ(roundTrip(l.id, 4, {1}), (Bytes{1}));
    length = sizeof buffer;
    EXPECT_EQ(aLink_PacketDebug_Read(l.id, &direction, &length, buffer), aErrNotFound);
}

// A transport that records each block written; the first write can be held back.
struct RecordingLine {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Bytes> writes;
    std::vector<std::thread::id> writers;
    bool gateOpen = true;
};

aErr recordingGet(uint8_t*, void*)
{
    return aErrNotReady;
}
aErr recordingWait(void*, uint32_t timeoutMs)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
    return aErrTimeout;
}
aErr recordingWrite(const uint8_t* bytes, size_t length, void* ref)
{
    auto* line = static_cast<RecordingLine*>(ref);
    std::unique_lock<std::mutex> lock(line->mutex);
    line->writes.emplace_back(bytes, bytes + length);
    line->writers.push_back(std::this_thread::get_id());
    line->changed.notify_all();
    line->changed.wait(lock, [&] { return line->gateOpen; });
    return aErrNone;
}

// Starts a link whose first write (the route packet) is held while three packets of 28
// payload bytes are queued; returns the writes once the packets have left.
std::vector<Bytes> writesAfterHeldRoute(bool pooled)
{
    RecordingLine line;
    line.gateOpen = false;  // the route packet of the start is held in the write
    aStreamRef stream = aStream_Create(recordingGet, nullptr, recordingWrite, nullptr, &line);
    aStream_SetWaitProc(stream, recordingWait);
    uint32_t id = aLink_Create(stream);
    EXPECT_NE(id, 0u);
    {
        std::unique_lock<std::mutex> lock(line.mutex);
        line.changed.wait(lock, [&] { return !line.writes.empty(); });
    }
    aLink_EnablePooledPackets(id, pooled);
    Bytes payload(28);
    for (uint8_t n = 1; n <= 3; n++) {
        payload[0] = n;
        aPacket* p = packetOf(4, payload);
        aLink_PutPacket(id, p);
        aPacket_Destroy(&p);
    }
    {
        std::unique_lock<std::mutex> lock(line.mutex);
        line.gateOpen = true;
        line.changed.notify_all();
        size_t expected = pooled ? 2 : 4;  // before the stop, whose last flush writes singly
        line.changed.wait(lock, [&] { return line.writes.size() >= expected; });
    }
    aLink_Destroy(&id);
    return line.writes;
}

TEST(Link, PooledWritesCarrySeveralPacketsInOneWrite)
{
    std::vector<Bytes> writes = writesAfterHeldRoute(true);
    ASSERT_GE(writes.size(), 2u);
    EXPECT_EQ(writes[0], (Bytes{0xAF, 1, 1}));
    ASSERT_EQ(writes[1].size(), 90u);
    for (int n = 0; n < 3; n++) {
        EXPECT_EQ(writes[1][30 * n], 4);
        EXPECT_EQ(writes[1][30 * n + 1], 28);
        EXPECT_EQ(writes[1][30 * n + 2], n + 1);
    }
    EXPECT_EQ(writes.back(), (Bytes{0xAF, 1, 0}));
}

TEST(Link, UnpooledWritesArePerPacket)
{
    std::vector<Bytes> writes = writesAfterHeldRoute(false);
    ASSERT_EQ(writes.size(), 5u);
    for (int n = 1; n <= 3; n++)
        EXPECT_EQ(writes[n].size(), 30u);
}

// Which thread wrote each packet of a burst put by this thread on an idle link.
std::vector<bool> burstWrittenByCaller(bool pooled)
{
    RecordingLine line;
    aStreamRef stream = aStream_Create(recordingGet, nullptr, recordingWrite, nullptr, &line);
    aStream_SetWaitProc(stream, recordingWait);
    uint32_t id = aLink_Create(stream);
    EXPECT_NE(id, 0u);
    aLink_EnablePooledPackets(id, pooled);
    std::unique_lock<std::mutex> lock(line.mutex);
    line.changed.wait(lock, [&] { return line.writes.size() == 1; });  // the route packet is out
    lock.unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // and the writer back at rest
    for (uint8_t n = 0; n < 3; n++) {
        aPacket* p = packetOf(4, {n});
        aLink_PutPacket(id, p);
        aPacket_Destroy(&p);
    }
    lock.lock();
    line.changed.wait(lock, [&] {
        size_t bytes = 0;
        for (size_t i = 1; i < line.writes.size(); i++)
            bytes += line.writes[i].size();
        return bytes == 9;
    });
    std::vector<bool> byCaller;
    for (size_t i = 1; i < line.writers.size(); i++)
        byCaller.push_back(line.writers[i] == std::this_thread::get_id());
    lock.unlock();
    aLink_Destroy(&id);
    return byCaller;
}

TEST(Link, UnpooledPacketsLeaveAtOnceOnAnIdleLink)
{
    EXPECT_EQ(burstWrittenByCaller(false), (std::vector<bool>{true, true, true}));
}

TEST(Link, PooledPacketsAlwaysGoThroughTheWriter)
{
    for (bool byCaller : burstWrittenByCaller(true))
        EXPECT_FALSE(byCaller);
}

TEST(Link, StreamLinkKeepsItsStreamOverAReset)
{
    RecordingLine line;
    aStreamRef stream = aStream_Create(recordingGet, nullptr, recordingWrite, nullptr, &line);
    uint32_t id = aLink_Create(stream);
    ASSERT_NE(id, 0u);
    int32_t type = -1;
    uint32_t serial = 0;
    EXPECT_EQ(aLink_GetIdentity(id, &type, &serial, nullptr, nullptr), aErrNone);
    EXPECT_EQ(type, LinkType::stream);
    EXPECT_EQ(serial, 0xFFFFFFFFu);
    EXPECT_EQ(aLink_Reset(id), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id), LinkStatus::running);
    EXPECT_EQ(aLink_ForceRoute(id, 1), aErrNone);
    EXPECT_EQ(aLink_Stop(id), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id), LinkStatus::stopped);
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
}

// Packetized serial over a pseudo-terminal.
struct SerialLink {
    std::unique_ptr<ModulePeer> peer = ModulePeer::overPty(6);
    uint32_t id = aLink_CreateSerial(0xABCD0001, peer->slavePath().c_str(), 115200);
    ~SerialLink()
    {
        while (id)
            aLink_Destroy(&id);
    }
};

TEST(SerialLink, SyncsEchoesAndAnswersHeartbeats)
{
    SerialLink l;
    ASSERT_NE(l.id, 0u);
    EXPECT_TRUE(l.peer->waitFor([](const Packets& p) { return hasPacket(p, 0xAF, {1}); }, kHangGuardMs));
    ASSERT_EQ(aLink_Sync(l.id), aErrNone);
    EXPECT_EQ(aLink_GetPacket(l.id), nullptr);
    EXPECT_EQ(roundTrip(l.id, 6, {0x11, 0x22}), (Bytes{0x11, 0x22}));
    Bytes longest(28, 0x5C);
    EXPECT_EQ(roundTrip(l.id, 6, longest), longest);
    l.peer->sendPacket(6, {0, 1});
    EXPECT_TRUE(l.peer->waitFor([](const Packets& p) { return hasPacket(p, 6, {0, 3}); }, kHangGuardMs));

    uint32_t shared = aLink_CreateSerial(0xABCD0001, "/dev/whatever", 9600);
    EXPECT_EQ(shared, l.id);
    aLink_Destroy(&shared);
    EXPECT_EQ(aLink_GetStatus(l.id), LinkStatus::running);
}

// A resynchronisation has settled once the link runs and no magic packet came for
// longer than the engine's re-send interval: under load the rest of a corrupt frame
// may be read late and start another one, during which a wait yields nothing.
bool waitSettled(SerialLink& l)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kHangGuardMs);
    size_t magic = l.peer->magicCount();
    while (std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        size_t now = l.peer->magicCount();
        if (now == magic && aLink_GetStatus(l.id) == LinkStatus::running)
            return true;
        magic = now;
    }
    return false;
}

TEST(SerialLink, CorruptFramesResynchronise)
{
    SerialLink l;
    ASSERT_EQ(aLink_Sync(l.id), aErrNone);
    size_t magicBefore = l.peer->magicCount();
    l.peer->setEcho(false);
    l.peer->sendRaw({0x06, 0x06, 0x02, 0x11, 0x22, 0x99, 0x00});  // the CRC should be 0xF1
    EXPECT_TRUE(l.peer->waitMagicAbove(magicBefore, kHangGuardMs));
    EXPECT_TRUE(waitStatus(l.id, LinkStatus::running));
    // Surplus answers to the resync's magic packets are empty and may still be arriving;
    // only a packet with a payload can be the corrupt frame.
    while (aPacket* p = aLink_GetPacket(l.id)) {
        EXPECT_EQ(p->dataSize, 0) << "a corrupt frame reached the queue";
        aPacket_Destroy(&p);
    }
    magicBefore = l.peer->magicCount();
    l.peer->sendRaw({0x06, 0x06, 0x03, 0x11, 0x22, 0x5A, 0x00});  // right CRC, but length 3 with two bytes
    EXPECT_TRUE(l.peer->waitMagicAbove(magicBefore, kHangGuardMs));
    EXPECT_TRUE(waitSettled(l));
    l.peer->setEcho(true);
    aLink_DrainPackets(
        l.id, [](const aPacket* p, const void*) -> uint8_t { return p->dataSize == 0; }, nullptr);
    EXPECT_EQ(roundTrip(l.id, 6, {0x44}), (Bytes{0x44}));
}

}  // namespace
