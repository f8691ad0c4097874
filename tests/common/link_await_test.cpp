// A caller awaiting a packet may read the link's stream itself while the reader thread
// waits for input, and a pooled link's queue may be written by the awaiting caller: what
// arrives must still be handled exactly as the reader thread handles it, and what leaves
// must still leave whole, in queue order.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "common/aLink.h"
#include "support/ModulePeer.h"
#include "support/TcpListener.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Packets = std::vector<ModulePeer::Packet>;
using Clock = std::chrono::steady_clock;

constexpr int kHangGuardMs = 60000;  // only keeps a broken build from hanging

struct Wanted {
    uint8_t address;
    uint8_t tag;  // first payload byte
};

uint8_t _wanted(const aPacket* packet, const void* ref)
{
    const auto* wanted = static_cast<const Wanted*>(ref);
    return packet->address == wanted->address && packet->dataSize > 0 && packet->data[0] == wanted->tag;
}

uint8_t _nothing(const aPacket*, const void*)
{
    return 0;
}

struct TcpLink {
    std::unique_ptr<ModulePeer> peer = ModulePeer::overTcp(4);
    uint32_t id = aLink_CreateTCPIP(0x5EED0001, TcpListener::loopback(), peer->port());
    ~TcpLink()
    {
        while (id)
            aLink_Destroy(&id);
    }
};

bool _has(const Packets& packets, uint8_t address, const Bytes& payload)
{
    for (auto& p : packets)
        if (p.address == address && p.payload == payload)
            return true;
    return false;
}

struct Sent {
    uint8_t address;
    Bytes payload;
};

TEST(LinkAwait, WhatArrivesDuringTheWaitIsHandledAsTheReaderWould)
{
    // The module sends these while a caller awaits (address 4, tag 0xAA): the awaited
    // packet goes to the caller, heartbeats are answered and never queued, everything
    // else is queued in arrival order.
    const Sent heartbeat{4, {0, 1}};
    const Sent awaited{4, {0xAA, 7}};
    struct Case {
        const char* name;
        std::vector<Sent> burst;
        std::vector<Sent> queued;
    } cases[] = {
        {"awaited alone", {awaited}, {}},
        {"others first", {{6, {1}}, {4, {2}}, awaited}, {{6, {1}}, {4, {2}}}},
        {"heartbeat between", {{4, {3}}, heartbeat, awaited, {8, {4, 4}}}, {{4, {3}}, {8, {4, 4}}}},
        {"awaited first", {awaited, {6, {5}}, heartbeat}, {{6, {5}}}},
        {"two that match: the older one", {awaited, {4, {0xAA, 8}}}, {{4, {0xAA, 8}}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TcpLink l;
        ASSERT_EQ(aLink_Sync(l.id), aErrNone);
        l.peer->setEcho(false);
        std::thread module([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(30));  // the caller is waiting by now
            for (const Sent& s : c.burst)
                l.peer->sendPacket(s.address, s.payload);
        });
        Wanted wanted{4, 0xAA};
        aPacket* got = aLink_AwaitFirst(l.id, _wanted, &wanted, kHangGuardMs);
        module.join();
        ASSERT_NE(got, nullptr);
        EXPECT_EQ(Bytes(got->data, got->data + got->dataSize), awaited.payload);
        aPacket_Destroy(&got);

        bool heartbeats = false;
        for (const Sent& s : c.burst)
            heartbeats |= s.payload == heartbeat.payload;
        if (heartbeats) {
            EXPECT_TRUE(l.peer->waitFor([](const Packets& p) { return _has(p, 4, {0, 3}); }, kHangGuardMs));
        }
        // What was not awaited is queued in order (it may still be on its way).
        std::vector<Sent> queued;
        auto deadline = Clock::now() + std::chrono::seconds(20);
        while (queued.size() < c.queued.size() && Clock::now() < deadline) {
            if (aPacket* p = aLink_AwaitPacket(l.id, 100)) {
                queued.push_back({p->address, Bytes(p->data, p->data + p->dataSize)});
                aPacket_Destroy(&p);
            }
        }
        ASSERT_EQ(queued.size(), c.queued.size());
        for (size_t i = 0; i < queued.size(); i++) {
            EXPECT_EQ(queued[i].address, c.queued[i].address) << i;
            EXPECT_EQ(queued[i].payload, c.queued[i].payload) << i;
        }
        aPacket* extra = aLink_AwaitPacket(l.id, 50);
        EXPECT_EQ(extra, nullptr) << "a heartbeat or a duplicate reached the queue";
        aPacket_Destroy(&extra);
    }
}

TEST(LinkAwait, CallersOnSeveralThreadsEachGetTheirOwnReplies)
{
    // Whichever caller reads the stream, a reply meant for another waiting caller reaches
    // that caller; none is lost or handed out twice.
    TcpLink l;
    ASSERT_EQ(aLink_Sync(l.id), aErrNone);
    constexpr int kRounds = 300;
    auto run = [&](uint8_t tag, int& failures) {
        for (int i = 0; i < kRounds; i++) {
            Bytes payload = {tag, uint8_t(i >> 8), uint8_t(i)};
            aPacket* out = aPacket_CreateWithData(4, uint8_t(payload.size()), payload.data());
            aLink_PutPacket(l.id, out);
            aPacket_Destroy(&out);
            Wanted wanted{4, tag};
            aPacket* in = aLink_AwaitFirst(l.id, _wanted, &wanted, kHangGuardMs);
            if (!in || Bytes(in->data, in->data + in->dataSize) != payload)
                failures++;
            aPacket_Destroy(&in);
        }
    };
    int failures[3] = {0, 0, 0};
    std::thread second(run, 2, std::ref(failures[1]));
    std::thread third(run, 3, std::ref(failures[2]));
    run(1, failures[0]);
    second.join();
    third.join();
    EXPECT_EQ(failures[0] + failures[1] + failures[2], 0);
    aPacket* left = aLink_GetPacket(l.id);
    EXPECT_EQ(left, nullptr) << "a reply was left behind";
    aPacket_Destroy(&left);
}

TEST(LinkAwait, StoppingTheLinkEndsAWaitThatReadsTheStream)
{
    // The waiting caller may be the one reading the stream when the link is stopped,
    // reset or destroyed: the stream is not used after it is gone, and a stop or a
    // destruction ends the wait long before its time-out. (A reset starts the link again
    // at once: a wait that did not see it stopped goes on over the new stream.)
    enum class Action { stop, reset, destroy };
    for (Action action : {Action::stop, Action::reset, Action::destroy}) {
        SCOPED_TRACE(int(action));
        uint32_t waitMs = action == Action::reset ? 2000 : kHangGuardMs;
        TcpLink l;
        ASSERT_EQ(aLink_Sync(l.id), aErrNone);
        std::atomic<bool> returned{false};
        aPacket* got = nullptr;
        uint32_t id = l.id;
        std::thread waiter([&] {
            got = aLink_AwaitFirst(id, _nothing, nullptr, waitMs);
            returned = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (action == Action::stop) {
            EXPECT_EQ(aLink_Stop(l.id), aErrNone);
        } else if (action == Action::reset) {
            EXPECT_EQ(aLink_Reset(l.id), aErrNone);
        } else {
            EXPECT_EQ(aLink_Destroy(&l.id), aErrNone);
        }
        auto deadline = Clock::now() + std::chrono::seconds(20);
        while (!returned && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_TRUE(returned) << "the wait outlived the link's threads";
        waiter.join();
        EXPECT_EQ(got, nullptr);
        aPacket_Destroy(&got);
    }
}

// A transport that records each block written and never has input.
struct RecordingLine {
    std::mutex mutex;
    std::vector<Bytes> writes;
};

aErr _noInput(uint8_t*, void*)
{
    return aErrNotReady;
}
aErr _shortWait(void*, uint32_t timeoutMs)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs < 2 ? timeoutMs : 2));
    return aErrTimeout;
}
aErr _record(const uint8_t* bytes, size_t length, void* ref)
{
    auto* line = static_cast<RecordingLine*>(ref);
    std::lock_guard<std::mutex> lock(line->mutex);
    line->writes.emplace_back(bytes, bytes + length);
    return aErrNone;
}

TEST(LinkAwait, PooledPacketsWrittenByAwaitingCallersLeaveWholeAndInOrder)
{
    // Bursts of pooled packets, each followed by a short wait for a reply that never
    // comes: the writer thread and the waiting caller race for the queue. Every packet
    // leaves once, whole, in the order put, in writes of at most 4096 bytes.
    for (int burst : {1, 3, 40, 150}) {
        SCOPED_TRACE(burst);
        RecordingLine line;
        aStreamRef stream = aStream_Create(_noInput, nullptr, _record, nullptr, &line);
        aStream_SetWaitProc(stream, _shortWait);
        uint32_t id = aLink_Create(stream);
        ASSERT_NE(id, 0u);
        ASSERT_EQ(aLink_EnablePooledPackets(id, true), aErrNone);
        Bytes expected;
        uint8_t serial = 0;
        for (int round = 0; round < 5; round++) {
            for (int n = 0; n < burst; n++, serial++) {
                Bytes payload(1 + serial % 28, serial);  // sizes 1 to 28
                aPacket* p = aPacket_CreateWithData(4, uint8_t(payload.size()), payload.data());
                ASSERT_EQ(aLink_PutPacket(id, p), aErrNone);
                aPacket_Destroy(&p);
                expected.push_back(4);
                expected.push_back(uint8_t(payload.size()));
                expected.insert(expected.end(), payload.begin(), payload.end());
            }
            aPacket* reply = aLink_AwaitFirst(id, _nothing, nullptr, 1);
            EXPECT_EQ(reply, nullptr);
        }
        aLink_Destroy(&id);  // the last packets leave at the latest with the stop
        Bytes sent;
        std::lock_guard<std::mutex> lock(line.mutex);
        for (const Bytes& write : line.writes) {
            EXPECT_LE(write.size(), 4096u);
            // Each write holds whole packets: walk it packet by packet.
            size_t at = 0;
            while (at + 2 <= write.size())
                at += 2 + write[at + 1];
            EXPECT_EQ(at, write.size()) << "a packet was split across writes";
            sent.insert(sent.end(), write.begin(), write.end());
        }
        // Drop the route packets (0xAF) of start and stop; what remains is the burst, in order.
        Bytes packets;
        for (size_t at = 0; at + 2 <= sent.size(); at += 2 + sent[at + 1]) {
            if (sent[at] != 0xAF)
                packets.insert(packets.end(), sent.begin() + at, sent.begin() + at + 2 + sent[at + 1]);
        }
        EXPECT_EQ(packets, expected);
    }
}

}  // namespace
