#include <gtest/gtest.h>

#include <string>

#include "common/aVersion.h"

TEST(aVersion, DecodesBothLayouts)
{
    EXPECT_FALSE(aVersion_IsLegacyFormat(0x2F020F00));
    EXPECT_EQ(aVersion_ParseMajor(0x2F020F00), 2u);
    EXPECT_EQ(aVersion_ParseMinor(0x2F020F00), 15u);
    EXPECT_EQ(aVersion_ParsePatch(0x2F020F00), 0u);

    EXPECT_TRUE(aVersion_IsLegacyFormat(0x21000005));
    EXPECT_EQ(aVersion_ParseMajor(0x21000005), 2u);
    EXPECT_EQ(aVersion_ParseMinor(0x21000005), 1u);
    EXPECT_EQ(aVersion_ParsePatch(0x21000005), 5u);

    // Legacy patches use 24 bits; values from 0x30000000 on are current.
    EXPECT_EQ(aVersion_ParsePatch(0x13ABCDEF), 0xABCDEFu);
    EXPECT_TRUE(aVersion_IsLegacyFormat(0x1FFFFFFF));
    EXPECT_TRUE(aVersion_IsLegacyFormat(0x2EFFFFFF));
    EXPECT_FALSE(aVersion_IsLegacyFormat(0x30000000));
    EXPECT_EQ(aVersion_ParseMajor(0x30040506), 4u);
    EXPECT_EQ(aVersion_ParseMinor(0x30040506), 5u);
    EXPECT_EQ(aVersion_ParsePatch(0x30040506), 6u);
}

TEST(aVersion, PackChoosesTheLayoutAndRoundTrips)
{
    EXPECT_EQ(aVersion_Pack(2, 15, 0), 0x2F020F00u);
    EXPECT_EQ(aVersion_Pack(1, 3, 7), 0x13000007u);
    EXPECT_EQ(aVersion_Pack(2, 14, 9), 0x2E000009u);
    EXPECT_EQ(aVersion_Pack(3, 0, 1), 0x2F030001u);
    const uint8_t cases[][3] = {{0, 0, 0}, {1, 15, 255}, {2, 14, 200}, {2, 15, 1}, {255, 255, 255}};
    for (const auto& v : cases) {
        uint32_t packed = aVersion_Pack(v[0], v[1], v[2]);
        EXPECT_EQ(aVersion_ParseMajor(packed), v[0]) << std::hex << packed;
        EXPECT_EQ(aVersion_ParseMinor(packed), v[1]) << std::hex << packed;
        EXPECT_EQ(aVersion_ParsePatch(packed), v[2]) << std::hex << packed;
    }
}

TEST(aVersion, ParseStringPrintsThreeParts)
{
    char text[16];
    EXPECT_EQ(aVersion_ParseString(0x13000007, text, sizeof text), 5);
    EXPECT_STREQ(text, "1.3.7");
    char small[4];
    EXPECT_EQ(aVersion_ParseString(0x2F020F00, small, sizeof small), 6);  // would need 6
    EXPECT_STREQ(small, "2.1");
}

TEST(aVersion, CompareIsLexicographicOnLowBytes)
{
    EXPECT_TRUE(aVersion_IsAtLeastCompare(2, 12, 0, 2, 11, 200));
    EXPECT_FALSE(aVersion_IsAtLeastCompare(2, 12, 0, 2, 12, 1));
    EXPECT_TRUE(aVersion_IsAtLeastCompare(2, 300, 0, 2, 44, 0));
    EXPECT_TRUE(aVersion_IsAtLeastCompare(2, 12, 2, 2, 12, 2));
    EXPECT_FALSE(aVersion_IsAtLeastCompare(1, 255, 255, 2, 0, 0));
    EXPECT_TRUE(aVersion_IsAtLeastCompare(3, 0, 0, 2, 255, 255));
}

TEST(aVersion, LibraryVersionAndFeatures)
{
    EXPECT_EQ(aVersion_GetMajor(), 2u);
    EXPECT_EQ(aVersion_GetMinor(), 12u);
    EXPECT_EQ(aVersion_GetPatch(), 2u);
    EXPECT_STREQ(aVersion_GetString(), "2.12.2");
    EXPECT_EQ(aVersion_GetString(), aVersion_GetString());
    EXPECT_TRUE(aVersion_IsAtLeast(2, 12, 2));
    EXPECT_FALSE(aVersion_IsAtLeast(2, 12, 3));
    EXPECT_TRUE(aVersion_IsAtLeast(1, 99, 99));

    EXPECT_TRUE(aVersion_HasFeature("VERSION"));
    EXPECT_FALSE(aVersion_HasFeature("version"));
    EXPECT_FALSE(aVersion_HasFeature(nullptr));
    char* list = aVersion_GetFeatureList();
    ASSERT_NE(list, nullptr);
    EXPECT_STREQ(list, "VERSION - Version Query API");
    aVersion_DestroyFeatureList(&list);
    EXPECT_EQ(list, nullptr);
}
