#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include "common/aPacketFifo.h"

namespace {

// A waiter that must be woken by an event, never by its time-out.
constexpr uint32_t kForever = 600000;

aPacket* makePacket(uint8_t address, uint8_t value = 0)
{
    uint8_t data[1] = {value};
    return aPacket_CreateWithData(address, 1, data);
}

void put(aPacketFifoHandle fifo, uint8_t address, uint8_t value = 0)
{
    aPacket* p = makePacket(address, value);
    ASSERT_EQ(aPacketFifo_Put(fifo, p), aErrNone);
    aPacket_Destroy(&p);
}

struct Fifo {
    aPacketFifoHandle handle = aPacketFifo_Create();
    ~Fifo()
    {
        if (handle)
            aPacketFifo_Destroy(&handle);
    }
};

uint8_t acceptAddress(const aPacket* packet, const void* ref)
{
    return packet->address == *static_cast<const uint8_t*>(ref);
}
uint8_t acceptAll(const aPacket*, const void*)
{
    return 1;
}
uint8_t acceptNone(const aPacket*, const void*)
{
    return 0;
}

TEST(PacketFifo, HandlesAreDistinctAndNonZero)
{
    std::set<aPacketFifoHandle> seen;
    std::vector<aPacketFifoHandle> handles;
    for (int i = 0; i < 50; i++) {
        aPacketFifoHandle h = aPacketFifo_Create();
        ASSERT_NE(h, 0u);
        EXPECT_TRUE(seen.insert(h).second);
        handles.push_back(h);
    }
    for (auto& h : handles)
        EXPECT_EQ(aPacketFifo_Destroy(&h), aErrNone);
}

TEST(PacketFifo, PutGetHandsOutCopies)
{
    Fifo f;
    aPacket* mine = makePacket(4, 0x42);
    ASSERT_EQ(aPacketFifo_Put(f.handle, mine), aErrNone);
    mine->data[0] = 0x99;  // the queued copy is not affected
    aPacket* got = aPacketFifo_Get(f.handle);
    ASSERT_NE(got, nullptr);
    EXPECT_NE(got, mine);
    EXPECT_EQ(got->address, 4);
    EXPECT_EQ(got->dataSize, 1);
    EXPECT_EQ(got->data[0], 0x42);
    EXPECT_TRUE(aVALIDPACKET(mine));
    EXPECT_EQ(aPacketFifo_Get(f.handle), nullptr);
    aPacket_Destroy(&got);
    aPacket_Destroy(&mine);
}

TEST(PacketFifo, RefusesUnregisteredHandlesAndInvalidPackets)
{
    aPacketFifoHandle h = aPacketFifo_Create();
    aPacketFifoHandle copy = h;
    ASSERT_EQ(aPacketFifo_Destroy(&h), aErrNone);
    EXPECT_EQ(h, 0u);
    EXPECT_EQ(aPacketFifo_Destroy(&h), aErrNotFound);
    EXPECT_EQ(aPacketFifo_Destroy(nullptr), aErrParam);
    aPacket* p = makePacket(4);
    EXPECT_EQ(aPacketFifo_Put(copy, p), aErrParam);
    EXPECT_EQ(aPacketFifo_Get(copy), nullptr);
    EXPECT_EQ(aPacketFifo_Await(copy, 0), nullptr);
    EXPECT_EQ(aPacketFifo_GetLength(copy), 0u);
    EXPECT_EQ(aPacketFifo_DrainPackets(copy, acceptAll, nullptr), 0u);
    Fifo f;
    aPacket bogus{};
    EXPECT_EQ(aPacketFifo_Put(f.handle, &bogus), aErrParam);
    EXPECT_EQ(aPacketFifo_Put(f.handle, nullptr), aErrParam);
    EXPECT_EQ(aPacketFifo_GetLength(f.handle), 0u);
    aPacket_Destroy(&p);
}

TEST(PacketFifo, OverflowEmptiesTheQueue)
{
    Fifo f;
    for (int i = 0; i < 1000; i++)
        put(f.handle, 4, static_cast<uint8_t>(i));
    EXPECT_EQ(aPacketFifo_GetLength(f.handle), 1000u);
    aPacket* p = makePacket(4);
    EXPECT_EQ(aPacketFifo_Put(f.handle, p), aErrNone);
    EXPECT_EQ(aPacketFifo_GetLength(f.handle), 0u);
    // Serials go on rising after the clear: a filtered await still sees new packets.
    put(f.handle, 6, 7);
    uint8_t six = 6;
    aPacket* got = aPacketFifo_AwaitFirst(f.handle, acceptAddress, &six, 0);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->data[0], 7);
    aPacket_Destroy(&got);
    aPacket_Destroy(&p);
}

TEST(PacketFifo, AwaitTimesOutOnEmptyAndReturnsPacketFromAnotherThread)
{
    Fifo f;
    EXPECT_EQ(aPacketFifo_Await(f.handle, 0), nullptr);
    std::thread producer([&] { put(f.handle, 8, 1); });
    aPacket* got = aPacketFifo_Await(f.handle, kForever);
    producer.join();
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->address, 8);
    aPacket_Destroy(&got);
}

TEST(PacketFifo, QuietPutsQueueInOrderAndAreSeenAtTheNextLook)
{
    // A quiet put wakes nobody, but queues like any other: in order with loud puts, and a
    // waiter finds it when it looks again (here at its time-out) rather than returning empty.
    Fifo f;
    struct Step {
        bool quiet;
        uint8_t address;
    } steps[] = {{true, 2}, {false, 4}, {true, 6}, {true, 8}};
    for (const Step& step : steps) {
        aPacket* p = makePacket(step.address);
        EXPECT_EQ(step.quiet ? aPacketFifo_PutQuietly(f.handle, p) : aPacketFifo_Put(f.handle, p), aErrNone);
        aPacket_Destroy(&p);
    }
    EXPECT_EQ(aPacketFifo_GetLength(f.handle), 4u);
    for (const Step& step : steps) {
        aPacket* got = aPacketFifo_Get(f.handle);
        ASSERT_NE(got, nullptr);
        EXPECT_EQ(got->address, step.address);
        aPacket_Destroy(&got);
    }
    std::thread producer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        aPacket* p = makePacket(10);
        EXPECT_EQ(aPacketFifo_PutQuietly(f.handle, p), aErrNone);
        aPacket_Destroy(&p);
    });
    uint8_t ten = 10;
    aPacket* got = aPacketFifo_AwaitFirst(f.handle, acceptAddress, &ten, 300);
    producer.join();
    ASSERT_NE(got, nullptr) << "the quietly put packet was missed at the time-out";
    aPacket_Destroy(&got);
    aPacket bogus{};
    EXPECT_EQ(aPacketFifo_PutQuietly(f.handle, &bogus), aErrParam);
    EXPECT_EQ(aPacketFifo_GetLength(f.handle), 0u);
}

TEST(PacketFifo, FirstMatchLeavesOthersInOrder)
{
    Fifo f;
    put(f.handle, 4, 1);
    put(f.handle, 6, 2);
    put(f.handle, 4, 3);
    uint8_t six = 6;
    aPacket* got = aPacketFifo_AwaitFirst(f.handle, acceptAddress, &six, 0);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->data[0], 2);
    aPacket_Destroy(&got);
    EXPECT_EQ(aPacketFifo_GetLength(f.handle), 2u);
    aPacket* a = aPacketFifo_Get(f.handle);
    aPacket* b = aPacketFifo_Get(f.handle);
    EXPECT_EQ(a->data[0], 1);
    EXPECT_EQ(b->data[0], 3);
    aPacket_Destroy(&a);
    aPacket_Destroy(&b);
    EXPECT_EQ(aPacketFifo_GetFirst(f.handle, acceptAll, nullptr), nullptr);
    put(f.handle, 4, 9);
    uint8_t four = 4;
    got = aPacketFifo_GetFirst(f.handle, acceptAddress, &four);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->data[0], 9);
    aPacket_Destroy(&got);
}

// Records every packet the filter is shown; accepts only address 10.
struct ShownLog {
    std::vector<uint8_t> values;
};
uint8_t recordAndAcceptTen(const aPacket* packet, const void* ref)
{
    const_cast<ShownLog*>(static_cast<const ShownLog*>(ref))->values.push_back(packet->data[0]);
    return packet->address == 10;
}

TEST(PacketFifo, AwaitFirstShowsEachPacketOnce)
{
    Fifo f;
    put(f.handle, 4, 0);  // already queued before the wait begins
    ShownLog log;
    std::atomic<bool> started{false};
    aPacket* got = nullptr;
    std::thread waiter([&] {
        started = true;
        got = aPacketFifo_AwaitFirst(f.handle, recordAndAcceptTen, &log, kForever);
    });
    while (!started)
        std::this_thread::yield();
    // Each put wakes the waiter; only the new packet may be shown.
    for (uint8_t i = 1; i <= 20; i++) {
        put(f.handle, 4, i);
        std::this_thread::yield();
    }
    put(f.handle, 10, 21);
    waiter.join();
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->data[0], 21);
    aPacket_Destroy(&got);
    std::set<uint8_t> distinct(log.values.begin(), log.values.end());
    EXPECT_EQ(distinct.size(), log.values.size()) << "a packet was shown to the filter twice";
    EXPECT_EQ(log.values.size(), 22u);
    EXPECT_EQ(aPacketFifo_GetLength(f.handle), 21u);
}

TEST(PacketFifo, FilteredAwaitOnFreshFifoSeesFirstPacket)
{
    Fifo f;
    put(f.handle, 6, 1);  // serial 0: the very first packet of the FIFO
    uint8_t six = 6;
    aPacket* got = aPacketFifo_AwaitFirst(f.handle, acceptAddress, &six, 0);
    ASSERT_NE(got, nullptr);
    aPacket_Destroy(&got);
}

TEST(PacketFifo, DestroyWakesWaiters)
{
    aPacketFifoHandle h = aPacketFifo_Create();
    std::atomic<int> returned{0};
    std::atomic<int> gotPacket{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; i++) {
        waiters.emplace_back([&, i] {
            aPacket* p =
                (i == 0) ? aPacketFifo_Await(h, kForever) : aPacketFifo_AwaitFirst(h, acceptNone, nullptr, kForever);
            if (p)
                gotPacket++;
            aPacket_Destroy(&p);
            returned++;
        });
    }
    // Give the waiters time to block (a late one finds the handle gone: also null).
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    aPacketFifoHandle copy = h;
    ASSERT_EQ(aPacketFifo_Destroy(&h), aErrNone);
    for (auto& t : waiters)
        t.join();
    EXPECT_EQ(returned, 3);
    EXPECT_EQ(gotPacket, 0);
    EXPECT_EQ(aPacketFifo_Destroy(&copy), aErrNotFound);
}

TEST(PacketFifo, DrainPackets)
{
    Fifo f;
    for (uint8_t i = 0; i < 6; i++)
        put(f.handle, (i % 2) ? 6 : 4, i);
    EXPECT_EQ(aPacketFifo_DrainPackets(f.handle, acceptNone, nullptr), 0u);
    uint8_t six = 6;
    EXPECT_EQ(aPacketFifo_DrainPackets(f.handle, acceptAddress, &six), 3u);
    for (uint8_t expected : {0, 2, 4}) {
        aPacket* p = aPacketFifo_Get(f.handle);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(p->data[0], expected);
        aPacket_Destroy(&p);
    }
    for (uint8_t i = 0; i < 5; i++)
        put(f.handle, 4, i);
    EXPECT_EQ(aPacketFifo_DrainPackets(f.handle, acceptAll, nullptr), 5u);
    EXPECT_EQ(aPacketFifo_GetLength(f.handle), 0u);
}

TEST(PacketFifo, ManyProducersManyConsumersLoseNothing)
{
    Fifo f;
    constexpr int kProducers = 4, kPerProducer = 200;
    std::atomic<int> consumed{0};
    std::vector<std::atomic<int>> counts(kProducers);
    std::vector<std::thread> threads;
    for (int c = 0; c < 2; c++) {
        threads.emplace_back([&] {
            while (consumed < kProducers * kPerProducer) {
                aPacket* p = aPacketFifo_Await(f.handle, 10);
                if (!p)
                    continue;
                counts[p->address / 2 - 1]++;
                consumed++;
                aPacket_Destroy(&p);
            }
        });
    }
    for (int p = 0; p < kProducers; p++) {
        threads.emplace_back([&, p] {
            for (int i = 0; i < kPerProducer; i++)
                put(f.handle, static_cast<uint8_t>(2 * (p + 1)), static_cast<uint8_t>(i));
        });
    }
    for (auto& t : threads)
        t.join();
    for (auto& c : counts)
        EXPECT_EQ(c, kPerProducer);
}

}  // namespace
