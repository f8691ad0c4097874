#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "common/aUEI.h"

namespace {

struct PacketHolder {
    explicit PacketHolder(std::vector<uint8_t> payload, uint8_t address = 4)
        : packet(aPacket_CreateWithData(address, static_cast<uint8_t>(payload.size()), payload.data()))
    {
    }
    ~PacketHolder() { aPacket_Destroy(&packet); }
    aPacket* packet;
};

}  // namespace

TEST(aUEI, ValuesTravelBigEndian)
{
    uint8_t buffer[4] = {};
    aUEI_StoreShort(buffer, 0x1234);
    EXPECT_EQ(buffer[0], 0x12);
    EXPECT_EQ(buffer[1], 0x34);
    EXPECT_EQ(aUEI_RetrieveShort(buffer), 0x1234);

    aUEI_StoreInt(buffer, 0x12345678);
    const uint8_t expected[] = {0x12, 0x34, 0x56, 0x78};
    EXPECT_EQ(memcmp(buffer, expected, 4), 0);
    EXPECT_EQ(aUEI_RetrieveInt(buffer), 0x12345678u);
    aUEI_StoreInt(buffer, 0xFEDCBA98);
    EXPECT_EQ(aUEI_RetrieveInt(buffer), 0xFEDCBA98u);
}

TEST(aUEI, ModifyIntBufferSwapsWholeWordsOnly)
{
    uint8_t buffer[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    aUEI_ModifyIntBuffer(buffer, sizeof buffer);
    const uint8_t expected[] = {4, 3, 2, 1, 8, 7, 6, 5, 9, 10};
    EXPECT_EQ(memcmp(buffer, expected, sizeof buffer), 0);
}

TEST(aUEI, SequenceByteOfAChunk)
{
    std::vector<uint8_t> full(28, 0xAA);
    full[0] = cmdSYSTEM;
    full[27] = 0x81;
    PacketHolder middle(full);
    EXPECT_EQ(aUEI_getBytesSequence(middle.packet), 1);
    EXPECT_EQ(aUEI_getBytesContinue(middle.packet), 1);
    EXPECT_TRUE(aUEI_getBytesFullPacket(middle.packet));

    PacketHolder last({cmdSYSTEM, 32, 0, 'a', 'b', 0x02});
    EXPECT_EQ(aUEI_getBytesSequence(last.packet), 2);
    EXPECT_EQ(aUEI_getBytesContinue(last.packet), 0);
    EXPECT_FALSE(aUEI_getBytesFullPacket(last.packet));
}

TEST(aUEI, RawCommandsAreNotUEI)
{
    for (uint8_t command : {0, 1, 2, 4, 8, 9, 23, 24, 73, 94, 95, 173, 175}) {
        PacketHolder raw({command, 0x40, 0x20});
        EXPECT_TRUE(aUEI_isNotUEIPayload(raw.packet)) << int(command);
        EXPECT_FALSE(aUEI_isUEIPayload(raw.packet)) << int(command);
    }
    for (uint8_t command : {3, 5, 10, 92, 96, 174}) {
        PacketHolder entity({command, 0x40, 0x20});
        EXPECT_TRUE(aUEI_isUEIPayload(entity.packet)) << int(command);
    }
    EXPECT_TRUE(aUEI_isNotUEIPayload(nullptr));
}

TEST(aUEI, StreamSamplesCarryBitSixAndAValue)
{
    PacketHolder sample({cmdSYSTEM, 12, 0x40, 0, 0, 0x12, 0x34});
    EXPECT_TRUE(aUEI_isStreamPacket(sample.packet));
    PacketHolder reply({cmdSYSTEM, 12, 0x00, 0, 0, 0x12, 0x34});
    EXPECT_FALSE(aUEI_isStreamPacket(reply.packet));
    PacketHolder request({cmdSYSTEM, 12 | ueiOPTION_GET, 0x40, 0, 0});
    EXPECT_FALSE(aUEI_isStreamPacket(request.packet));
    PacketHolder tooShort({cmdSYSTEM, 12, 0x40, 7});
    EXPECT_FALSE(aUEI_isStreamPacket(tooShort.packet));
    PacketHolder raw({cmdI2C, 12, 0x40, 0, 0, 0});
    EXPECT_FALSE(aUEI_isStreamPacket(raw.packet));
}
