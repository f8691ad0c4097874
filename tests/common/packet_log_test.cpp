#include <gtest/gtest.h>

#include <vector>

#include "common/aPacketLog.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Log {
    aPacketLog* log;
    explicit Log(size_t size) : log(aPacketLog_Create(size)) {}
    ~Log() { aPacketLog_Destroy(&log); }
    aErr put(uint8_t direction, const Bytes& bytes)
    {
        return aPacketLog_Put(log, direction, static_cast<uint8_t>(bytes.size()), bytes.data());
    }
    std::pair<uint8_t, Bytes> get()
    {
        uint8_t direction = 0, length = 255, buffer[255];
        if (aPacketLog_Get(log, &direction, &length, buffer) != aErrNone)
            return {0, {}};
        return {direction, Bytes(buffer, buffer + length)};
    }
};

TEST(PacketLog, RecordsComeBackInOrder)
{
    Log l(64);
    ASSERT_NE(l.log, nullptr);
    EXPECT_EQ(l.put(1, {0xAD, 0}), aErrNone);
    EXPECT_EQ(l.put(2, {4, 1, 9}), aErrNone);
    EXPECT_EQ(l.get(), (std::pair<uint8_t, Bytes>{1, {0xAD, 0}}));
    EXPECT_EQ(l.get(), (std::pair<uint8_t, Bytes>{2, {4, 1, 9}}));
    uint8_t direction, length = 8, buffer[8];
    EXPECT_EQ(aPacketLog_Get(l.log, &direction, &length, buffer), aErrNotFound);
}

TEST(PacketLog, OldestRecordsMakeRoomAndTheRingWraps)
{
    Log l(16);  // room for two records of four bytes (6 each), never all 16 bytes
    for (uint8_t i = 0; i < 20; i++)
        ASSERT_EQ(l.put(1, {i, i, i, i}), aErrNone);
    EXPECT_EQ(l.get().second, (Bytes{18, 18, 18, 18}));
    EXPECT_EQ(l.get().second, (Bytes{19, 19, 19, 19}));
    EXPECT_TRUE(l.get().second.empty());
}

TEST(PacketLog, RefusalsAndShortBuffers)
{
    Log l(16);
    EXPECT_EQ(l.put(1, Bytes(14)), aErrOverrun);  // 16 bytes with its header: the whole log
    EXPECT_EQ(l.put(1, Bytes(13)), aErrNone);     // 15 bytes leave one free
    uint8_t direction, length = 12, buffer[16];
    EXPECT_EQ(aPacketLog_Get(l.log, &direction, &length, buffer), aErrOverrun);
    EXPECT_EQ(length, 13);
    EXPECT_EQ(aPacketLog_Get(l.log, &direction, &length, buffer), aErrNone);
    EXPECT_EQ(aPacketLog_Create(2), nullptr);
}

}  // namespace
