// Personalising, descrambling and checking loaded images.
#include "BirdFixture.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

// A firmware block at 0x1000 with 0x100 code bytes, plus whatever offsets are given.
void LoadGeneric(Loaded& loaded, uint32_t serialOffset, uint32_t descriptorOffset, const std::vector<uint8_t>& code)
{
    LoadInto(loaded, BirdWriter().AddFirmware(0x1000, code).AddOffsets(serialOffset, descriptorOffset).FileBytes());
    ASSERT_TRUE(loaded.ok) << loaded.log;
}

}  // namespace

TEST(BirdPatchSerial, WordIsWrittenLittleEndianAtTheDeviceAddress)
{
    std::vector<uint8_t> code = Code(0x100);
    code[0x10] = 0xEF, code[0x11] = 0xBE, code[0x12] = 0xAD, code[0x13] = 0xDE;
    Loaded loaded;
    LoadGeneric(loaded, 0x1010, 0, code);
    LogCapture capture(DEBUG_BirdFile);
    EXPECT_TRUE(loaded.file.ReplaceSerialNumber(0x12345678));
    const unsigned char* payload = loaded.file.blocks[0].data;
    EXPECT_EQ(payload[0x14], 0x78);
    EXPECT_EQ(payload[0x15], 0x56);
    EXPECT_EQ(payload[0x16], 0x34);
    EXPECT_EQ(payload[0x17], 0x12);
    EXPECT_EQ(0, memcmp(payload + 4, code.data(), 0x10));
    EXPECT_EQ(0, memcmp(payload + 0x18, code.data() + 0x14, 0x100 - 0x14));
    EXPECT_TRUE(capture.Contains("BIRDFILE: updating serial number from DEADBEEF ==> 12345678\n")) << capture.Text();
}

TEST(BirdPatchSerial, WordsAtTheBlockBoundaries)
{
    std::vector<uint8_t> code = Code(0x100);
    {
        // The last whole word of the block is written.
        Loaded loaded;
        LoadGeneric(loaded, 0x10FC, 0, code);
        EXPECT_TRUE(loaded.file.ReplaceSerialNumber(0xA1B2C3D4));
        EXPECT_EQ(loaded.file.blocks[0].data[0x100], 0xD4);
        EXPECT_EQ(loaded.file.blocks[0].data[0x103], 0xA1);
    }
    {
        // The word would cross the end: nothing changes, but the result is still true.
        Loaded loaded;
        LoadGeneric(loaded, 0x10FE, 0, code);
        EXPECT_TRUE(loaded.file.ReplaceSerialNumber(0xA1B2C3D4));
        EXPECT_EQ(0, memcmp(loaded.file.blocks[0].data + 4, code.data(), code.size()));
    }
    {
        // Before the load address: nothing changes either.
        Loaded loaded;
        LoadGeneric(loaded, 0x0FFE, 0, code);
        EXPECT_TRUE(loaded.file.ReplaceSerialNumber(1));
        EXPECT_EQ(0, memcmp(loaded.file.blocks[0].data + 4, code.data(), code.size()));
    }
    {
        // A block near the top of the address space must not wrap around.
        Loaded loaded;
        LoadInto(loaded, BirdWriter().AddFirmware(0xFFFFFFF0, Code(16)).AddOffsets(0xFFFFFFFE, 0).FileBytes());
        std::vector<uint8_t> before(loaded.file.blocks[0].data, loaded.file.blocks[0].data + 20);
        EXPECT_TRUE(loaded.file.ReplaceSerialNumber(1));
        EXPECT_EQ(0, memcmp(loaded.file.blocks[0].data, before.data(), before.size()));
    }
}

TEST(BirdPatchSerial, DescriptorGetsTheLowBytesOfUtf16Characters)
{
    std::vector<uint8_t> code = Code(0x100);
    Loaded loaded;
    LoadGeneric(loaded, 0, 0x1020, code);
    EXPECT_TRUE(loaded.file.ReplaceSerialNumber(0x00AB12CD));
    const unsigned char* payload = loaded.file.blocks[0].data;
    const char* text = "00AB12CD";
    for (int i = 0; i < 8; i++) {
        EXPECT_EQ(payload[0x24 + 2 * i], text[i]) << i;
        EXPECT_EQ(payload[0x25 + 2 * i], code[0x21 + 2 * i]) << i;
    }
    EXPECT_EQ(payload[0x23], code[0x1F]);
    EXPECT_EQ(payload[0x34], code[0x30]);

    // The last 16 bytes of the block still take a descriptor; one byte more does not.
    Loaded edge;
    LoadGeneric(edge, 0, 0x10F0, code);
    EXPECT_TRUE(edge.file.ReplaceSerialNumber(0x00AB12CD));
    EXPECT_EQ(edge.file.blocks[0].data[0xF4 + 14], 'D');
    Loaded over;
    LoadGeneric(over, 0, 0x10F1, code);
    EXPECT_FALSE(over.file.ReplaceSerialNumber(0x00AB12CD));
    EXPECT_EQ(0, memcmp(over.file.blocks[0].data + 4, code.data(), code.size()));
}

TEST(BirdPatchSerial, OnlyTheCoveringBlockChanges)
{
    std::vector<uint8_t> first = Code(0x40, 1), second = Code(0x40, 2);
    Loaded loaded;
    LoadInto(
        loaded,
        BirdWriter().AddFirmware(0x1000, first).AddFirmware(0x2000, second).AddOffsets(0x2008, 0x2010).FileBytes());
    EXPECT_TRUE(loaded.file.ReplaceSerialNumber(0x01020304));
    EXPECT_EQ(0, memcmp(loaded.file.blocks[0].data + 4, first.data(), first.size()));
    const unsigned char* payload = loaded.file.blocks[1].data;
    EXPECT_EQ(payload[4 + 8], 0x04);
    EXPECT_EQ(payload[4 + 11], 0x01);
    EXPECT_EQ(payload[4 + 0x10], '0');
    EXPECT_EQ(payload[4 + 0x10 + 14], '4');
}

TEST(BirdPatchSerial, ResultWithoutOffsetsOrFirmware)
{
    Loaded noOffsets;
    LoadInto(noOffsets, BirdWriter().AddFirmware(0x1000, Code(16)).FileBytes());
    EXPECT_FALSE(noOffsets.file.ReplaceSerialNumber(5));

    Loaded noFirmware;
    LoadInto(noFirmware, BirdWriter().AddLoader(0x1000, Code(16)).AddOffsets(0x1004, 0x1008).FileBytes());
    EXPECT_FALSE(noFirmware.file.ReplaceSerialNumber(5));
    EXPECT_EQ(0, memcmp(noFirmware.file.blocks[0].data + 4, Code(16).data(), 16));
}

TEST(BirdDecode, KeyStreamOrderAndPerBlockRestart)
{
    const unsigned key[4] = {0x01020304, 0x05060708, 0x090A0B0C, 0x0D0E0F10};
    std::vector<uint8_t> zeros(20, 0);
    Loaded loaded;
    LoadInto(loaded,
             BirdWriter().AddFirmware(0xAABBCCDD, zeros).AddFirmware(0x10, zeros).AddLoader(0, zeros).FileBytes());
    ASSERT_TRUE(loaded.file.DecodeFirmwareBlocks(key));

    for (int b = 0; b < 2; b++) {
        const unsigned char* payload = loaded.file.blocks[b].data;
        unsigned char previous = 0;
        for (int i = 0; i < 20; i++) {
            unsigned char keyByte = uint8_t(i % 16 + 1);  // 01 02 ... 10, then 01 again
            unsigned char expected = keyByte ^ previous;
            EXPECT_EQ(payload[4 + i], expected) << "block " << b << " byte " << i;
            previous = expected;
        }
    }
    EXPECT_EQ(loaded.file.blocks[0].address, 0xAABBCCDDu);
    EXPECT_EQ(loaded.file.blocks[0].data[0], 0xAA);  // the load address is left alone
    EXPECT_EQ(loaded.file.blocks[2].data[4], 0);     // loader blocks are not decoded
}

TEST(BirdDecode, UndoesTheWritersScrambling)
{
    const uint32_t key[4] = {0xDEADBEEF, 0x01234567, 0x89ABCDEF, 0x0BADF00D};
    std::vector<uint8_t> plain = Code(1000, 4), scrambled = plain;
    BirdWriter::Scramble(scrambled, key);
    ASSERT_NE(plain, scrambled);
    Loaded loaded;
    LoadInto(loaded, BirdWriter().AddFirmware(0x0, scrambled).FileBytes());
    const unsigned keyWords[4] = {key[0], key[1], key[2], key[3]};
    loaded.file.DecodeFirmwareBlocks(keyWords);
    EXPECT_EQ(0, memcmp(loaded.file.blocks[0].data + 4, plain.data(), plain.size()));
}

TEST(BirdValidate, ModelPrefixMatching)
{
    Loaded loaded;
    LoadInto(loaded, BirdWriter().AddInfo(1, "1.0", 0, "ABC").FileBytes());
    LogCapture capture(DEBUG_BirdFile);
    EXPECT_TRUE(loaded.file.ValidateModel("ABC"));
    EXPECT_TRUE(capture.Contains("Model matches model number ([ABC] == [ABC])\n")) << capture.Text();
    EXPECT_FALSE(loaded.file.ValidateModel("ABCD"));
    EXPECT_TRUE(loaded.file.ValidateModel("AB"));
    EXPECT_TRUE(loaded.file.ValidateModel(""));
    EXPECT_FALSE(loaded.file.ValidateModel("abc"));

    Loaded full;
    LoadInto(full, BirdWriter().AddInfo(1, "1.0", 0, "0123456789ABCDEF").FileBytes());
    EXPECT_TRUE(full.file.ValidateModel("0123456789ABCDEF"));
    EXPECT_FALSE(full.file.ValidateModel("0123456789ABCDEFG"));

    Loaded none;
    LoadInto(none, BirdWriter().AddFirmware(0, Code(4)).FileBytes());
    EXPECT_FALSE(none.file.ValidateModel(""));
}

TEST(BirdValidate, SerialNumber)
{
    Loaded none;
    LoadInto(none, BirdWriter().AddFirmware(0, Code(4)).FileBytes());
    EXPECT_TRUE(none.file.ValidateSerialNumber(0));
    EXPECT_FALSE(none.file.ValidateSerialNumber(1));

    Loaded info;
    LoadInto(info, BirdWriter().AddInfo(1, "1.0", 0x40F5849A, "M").FileBytes());
    EXPECT_TRUE(info.file.ValidateSerialNumber(0x40F5849A));
    EXPECT_FALSE(info.file.ValidateSerialNumber(0x40F5849B));
}

TEST(BirdValidate, DataPatternAnywhereInFirmwarePayloads)
{
    std::vector<uint8_t> code = {1, 2, 3, 4, 5, 6, 7, 8};
    Loaded loaded;
    LoadInto(loaded, BirdWriter().AddLoader(0, {9, 9, 9}).AddFirmware(0xCAFE0000, code).FileBytes());
    unsigned char middle[] = {3, 4, 5};
    unsigned char address[] = {0xCA, 0xFE};
    unsigned char last[] = {7, 8};
    unsigned char loaderOnly[] = {9, 9};
    LogCapture capture(DEBUG_BirdFile);
    EXPECT_TRUE(loaded.file.ValidateData(middle, 3));
    EXPECT_TRUE(capture.Contains("Found data at 6\n")) << capture.Text();
    EXPECT_TRUE(capture.Contains("BIRDFILE: looking for data pattern in [" + loaded.file.path + "]\n"));
    EXPECT_TRUE(loaded.file.ValidateData(address, 2));
    EXPECT_TRUE(loaded.file.ValidateData(last, 2));  // a pattern ending the payload counts
    EXPECT_FALSE(loaded.file.ValidateData(loaderOnly, 2));
    std::vector<uint8_t> whole = {0xCA, 0xFE, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_TRUE(loaded.file.ValidateData(whole.data(), unsigned(whole.size())));
    whole.push_back(0);
    EXPECT_FALSE(loaded.file.ValidateData(whole.data(), unsigned(whole.size())));
    EXPECT_FALSE(loaded.file.ValidateData(nullptr, 0));
}
