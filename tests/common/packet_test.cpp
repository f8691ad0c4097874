#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "common/aPacket.h"
#include "common/crc8.h"

namespace {

struct PacketHolder {
    aPacket* packet = aPacket_Create();
    ~PacketHolder()
    {
        if (packet)
            aPacket_Destroy(&packet);
    }
};

TEST(Packet, CreateIsZeroedAndMarked)
{
    PacketHolder h;
    ASSERT_NE(h.packet, nullptr);
    EXPECT_EQ(h.packet->check, aPACKET_CHECK);
    EXPECT_EQ(h.packet->curSize, 0);
    EXPECT_EQ(h.packet->address, 0);
    EXPECT_EQ(h.packet->dataSize, 0);
    for (uint8_t b : h.packet->data)
        EXPECT_EQ(b, 0);
    EXPECT_FALSE(aPacket_IsComplete(h.packet));
}

TEST(Packet, CreateWithDataLimits)
{
    uint8_t data[29];
    for (int i = 0; i < 29; i++)
        data[i] = static_cast<uint8_t>(i + 1);
    aPacket* full = aPacket_CreateWithData(4, 28, data);
    ASSERT_NE(full, nullptr);
    EXPECT_EQ(full->curSize, 30);
    EXPECT_TRUE(aPacket_IsComplete(full));
    EXPECT_EQ(0, std::memcmp(full->data, data, 28));
    aPacket_Destroy(&full);
    EXPECT_EQ(aPacket_CreateWithData(4, 29, data), nullptr);
    EXPECT_EQ(aPacket_CreateWithData(4, 0, nullptr), nullptr);

    aPacket* empty = aPacket_CreateWithData(6, 0, data);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->curSize, 2);
    EXPECT_TRUE(aPacket_IsComplete(empty));
    aPacket_Destroy(&empty);
}

TEST(Packet, CopyIsIndependent)
{
    const uint8_t data[] = {1, 2, 3};
    aPacket* original = aPacket_CreateWithData(8, 3, data);
    aPacket* copy = aPacket_Copy(original);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, original);
    EXPECT_EQ(copy->address, 8);
    EXPECT_EQ(copy->dataSize, 3);
    EXPECT_EQ(0, std::memcmp(copy->data, data, 3));
    copy->data[0] = 99;
    EXPECT_EQ(original->data[0], 1);
    aPacket_Destroy(&original);
    aPacket_Destroy(&copy);
    aPacket bogus{};
    EXPECT_EQ(aPacket_Copy(&bogus), nullptr);
    EXPECT_EQ(aPacket_Copy(nullptr), nullptr);
}

TEST(Packet, GettersMaskAndRefuseShortPackets)
{
    const uint8_t data[] = {0x12, 0xFF, 0xFF};
    aPacket* p = aPacket_CreateWithData(4, 3, data);
    uint8_t v = 0;
    EXPECT_EQ(aPacket_GetCmd(p, &v), aErrNone);
    EXPECT_EQ(v, 0x12);
    EXPECT_EQ(aPacket_GetOption(p, &v), aErrNone);
    EXPECT_EQ(v, 0x3F);
    EXPECT_EQ(aPacket_GetIndex(p, &v), aErrNone);
    EXPECT_EQ(v, 0x1F);
    EXPECT_EQ(aPacket_GetCmd(p, nullptr), aErrParam);
    aPacket_Destroy(&p);

    aPacket* shortOne = aPacket_CreateWithData(4, 2, data);
    EXPECT_EQ(aPacket_GetIndex(shortOne, &v), aErrPacket);
    EXPECT_EQ(aPacket_GetOption(shortOne, &v), aErrNone);
    aPacket_Destroy(&shortOne);
    aPacket bogus{};
    EXPECT_EQ(aPacket_GetCmd(&bogus, &v), aErrPacket);
}

TEST(Packet, AssemblyByteByByte)
{
    PacketHolder h;
    const uint8_t wire[] = {0x04, 0x02, 0x11, 0x22};
    for (size_t i = 0; i < sizeof wire; i++) {
        EXPECT_FALSE(aPacket_IsComplete(h.packet)) << i;
        EXPECT_EQ(aPacket_AddByte(h.packet, wire[i]), aErrNone) << i;
    }
    EXPECT_TRUE(aPacket_IsComplete(h.packet));
    EXPECT_EQ(h.packet->address, 4);
    EXPECT_EQ(h.packet->dataSize, 2);
    EXPECT_EQ(h.packet->data[0], 0x11);
    EXPECT_EQ(h.packet->data[1], 0x22);

    EXPECT_EQ(aPacket_Reset(h.packet), aErrNone);
    EXPECT_EQ(h.packet->check, aPACKET_CHECK);
    EXPECT_EQ(h.packet->curSize, 0);
    EXPECT_EQ(h.packet->data[0], 0);
    // A zero length byte completes the packet after two bytes.
    EXPECT_EQ(aPacket_AddByte(h.packet, 0x06), aErrNone);
    EXPECT_EQ(aPacket_AddByte(h.packet, 0x00), aErrNone);
    EXPECT_TRUE(aPacket_IsComplete(h.packet));
}

TEST(Packet, AssemblyRefusals)
{
    PacketHolder h;
    EXPECT_EQ(aPacket_AddByte(h.packet, 0x00), aErrPacket);
    aPacket_Reset(h.packet);
    EXPECT_EQ(aPacket_AddByte(h.packet, 0x04), aErrNone);
    EXPECT_EQ(aPacket_AddByte(h.packet, 29), aErrPacket);
    EXPECT_EQ(h.packet->dataSize, 29);  // the refused length stays stored
    aPacket_Reset(h.packet);

    // Without a reset, the 31st byte overruns (length 28 followed by more bytes).
    EXPECT_EQ(aPacket_AddByte(h.packet, 0x04), aErrNone);
    EXPECT_EQ(aPacket_AddByte(h.packet, 28), aErrNone);
    for (int i = 0; i < 28; i++)
        EXPECT_EQ(aPacket_AddByte(h.packet, 0x55), aErrNone);
    EXPECT_TRUE(aPacket_IsComplete(h.packet));
    EXPECT_EQ(aPacket_AddByte(h.packet, 0x55), aErrOverrun);
    EXPECT_FALSE(aPacket_IsComplete(h.packet));
    // Feeding on never writes past the payload, whatever comes.
    for (int i = 0; i < 300; i++)
        EXPECT_NE(aPacket_AddByte(h.packet, 0x55), aErrNone);

    EXPECT_EQ(aPacket_AddByte(nullptr, 1), aErrParam);
    aPacket bogus{};
    EXPECT_EQ(aPacket_AddByte(&bogus, 1), aErrParam);
    EXPECT_EQ(aPacket_Reset(&bogus), aErrParam);
}

TEST(Packet, PayloadAfterShorterLengthIsRefused)
{
    PacketHolder h;
    aPacket_AddByte(h.packet, 0x04);
    aPacket_AddByte(h.packet, 1);
    EXPECT_EQ(aPacket_AddByte(h.packet, 0x10), aErrNone);
    EXPECT_TRUE(aPacket_IsComplete(h.packet));
    EXPECT_EQ(aPacket_AddByte(h.packet, 0x11), aErrPacket);
}

TEST(Packet, GetBytes)
{
    const uint8_t data[] = {0x11, 0x22};
    aPacket* p = aPacket_CreateWithData(4, 2, data);
    uint8_t buffer[8];
    std::memset(buffer, 0xEE, sizeof buffer);
    size_t length = 0;
    EXPECT_EQ(aPacket_GetBytes(p, buffer, 3, &length), aErrOverrun);
    for (uint8_t b : buffer)
        EXPECT_EQ(b, 0xEE);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(aPacket_GetBytes(p, buffer, 4, &length), aErrNone);
    EXPECT_EQ(length, 4u);
    const uint8_t expected[] = {0x04, 0x02, 0x11, 0x22};
    EXPECT_EQ(0, std::memcmp(buffer, expected, 4));
    EXPECT_EQ(aPacket_GetBytes(p, buffer, 4, nullptr), aErrNone);
    EXPECT_EQ(aPacket_GetBytes(p, nullptr, 4, nullptr), aErrParam);
    EXPECT_EQ(aPacket_GetBytes(nullptr, buffer, 4, nullptr), aErrParam);
    aPacket_Destroy(&p);
}

TEST(Packet, DestroyTwice)
{
    aPacket* p = aPacket_Create();
    EXPECT_EQ(aPacket_Destroy(&p), aErrNone);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(aPacket_Destroy(&p), aErrParam);
    EXPECT_EQ(aPacket_Destroy(nullptr), aErrParam);
}

TEST(Crc8, CheckValues)
{
    const char* digits = "123456789";
    EXPECT_EQ(crc8_create(reinterpret_cast<const uint8_t*>(digits), 9), 0xA1);
    EXPECT_EQ(crc8_create(reinterpret_cast<const uint8_t*>("abc"), 3), 0x42);
    uint8_t none = 0;
    EXPECT_EQ(crc8_create(&none, 0), 0);
    const uint8_t packet[] = {0x04, 0x02, 0x11, 0x22};
    EXPECT_EQ(crc8_create(packet, 4), 0xF6);
    const uint8_t empty[] = {0x04, 0x00};
    EXPECT_EQ(crc8_create(empty, 2), 0x3B);
    EXPECT_TRUE(crc8_check(packet, 4, 0xF6));
    EXPECT_FALSE(crc8_check(packet, 4, 0xF7));
}

TEST(Crc8, UpdateMatchesBitwiseDefinition)
{
    for (unsigned crc = 0; crc < 256; crc += 17) {
        for (unsigned byte = 0; byte < 256; byte++) {
            uint8_t expected = static_cast<uint8_t>(crc ^ byte);
            for (int bit = 0; bit < 8; bit++)
                expected = (expected & 1) ? (expected >> 1) ^ 0x8C : expected >> 1;
            ASSERT_EQ(crc8_update(static_cast<uint8_t>(crc), static_cast<uint8_t>(byte)), expected);
        }
    }
}

}  // namespace
