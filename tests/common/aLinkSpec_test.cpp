#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/aLinkSpec.h"

TEST(aLinkSpec, CreateGivesZeroedRecordWithTheType)
{
    linkSpec* spec = aLinkSpec_Create(USB);
    ASSERT_NE(spec, nullptr);
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(spec);
    EXPECT_EQ(bytes[0], 0x01);
    EXPECT_EQ(bytes[1], 0x00);
    EXPECT_EQ(bytes[2], 0x00);
    EXPECT_EQ(bytes[3], 0x00);
    for (size_t i = 4; i < sizeof(linkSpec); ++i)
        ASSERT_EQ(bytes[i], 0) << "byte " << i;
    EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrNone);
    EXPECT_EQ(spec, nullptr);
}

TEST(aLinkSpec, FieldsLieLittleEndianAtTheirOffsets)
{
    linkSpec spec{};
    spec.type = PLEXUS_TCPIP;
    spec.serialNumber = 0x1A2B3C4D;
    spec.module = 6;
    spec.model = 12;
    spec.ipAddress = 0x0100007F;  // 127.0.0.1
    spec.ipPort = 10020;
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&spec);
    const uint8_t serial[] = {0x4D, 0x3C, 0x2B, 0x1A};
    EXPECT_EQ(bytes[0], 6);
    EXPECT_EQ(memcmp(bytes + 4, serial, 4), 0);
    EXPECT_EQ(bytes[8], 6);
    EXPECT_EQ(bytes[20], 12);
    const uint8_t address[] = {127, 0, 0, 1};
    EXPECT_EQ(memcmp(bytes + 24, address, 4), 0);
    EXPECT_EQ(bytes[28], 0x24);
    EXPECT_EQ(bytes[29], 0x27);
}

TEST(aLinkSpec, SerialPortNameOfNinetyNineCharactersIsKeptWhole)
{
    linkSpec* spec = aLinkSpec_Create(SERIAL);
    ASSERT_NE(spec, nullptr);
    std::string name = "/dev/" + std::string(aLINKSPEC_PORTNAME_MAX - 5, 'x');
    ASSERT_EQ(name.size(), 99u);
    memcpy(spec->portName, name.c_str(), name.size() + 1);
    spec->baudRate = 115200;

    linkSpec* copy = aLinkSpec_Copy(*spec);
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy->portName, name.c_str());
    EXPECT_EQ(copy->portName[99], '\0');
    EXPECT_EQ(copy->baudRate, 115200u);
    EXPECT_EQ(memcmp(copy, spec, sizeof(linkSpec)), 0);
    EXPECT_NE(copy, spec);
    aLinkSpec_Destroy(&copy);
    aLinkSpec_Destroy(&spec);
}

TEST(aLinkSpec, DestroyRefusesAMissingRecord)
{
    linkSpec* spec = nullptr;
    EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrParam);
    EXPECT_EQ(aLinkSpec_Destroy(nullptr), aErrParam);
}

// A record from the network is taken only whole, and its port name always ends inside
// it, even when the sender filled every byte.
TEST(aLinkSpec, RecordFromTheNetworkIsWholeAndItsPortNameEnds)
{
    uint8_t bytes[sizeof(linkSpec) + 1];
    memset(bytes, 'A', sizeof bytes);
    bytes[0] = SERIAL;
    bytes[1] = bytes[2] = bytes[3] = 0;
    const struct {
        size_t length;
        bool taken;
    } cases[] = {{0, false}, {1, false}, {127, false}, {128, true}, {129, false}};
    for (const auto& c : cases) {
        linkSpec spec{};
        spec.serialNumber = 0x12345678;
        EXPECT_EQ(aLinkSpec_FromRecord(bytes, c.length, &spec), c.taken) << c.length;
        if (!c.taken) {
            EXPECT_EQ(spec.serialNumber, 0x12345678u) << "left alone";
            continue;
        }
        EXPECT_EQ(spec.type, SERIAL);
        EXPECT_EQ(spec.serialNumber, 0x41414141u);
        EXPECT_EQ(strnlen(spec.portName, sizeof spec.portName), aLINKSPEC_PORTNAME_MAX);
        EXPECT_EQ(std::string(spec.portName), std::string(aLINKSPEC_PORTNAME_MAX, 'A'));
    }
    linkSpec spec{};
    EXPECT_FALSE(aLinkSpec_FromRecord(nullptr, sizeof(linkSpec), &spec));
    EXPECT_FALSE(aLinkSpec_FromRecord(bytes, sizeof(linkSpec), nullptr));

    // A port name that ends early is kept as it came, bytes after its end included.
    memset(bytes, 0, sizeof bytes);
    memcpy(bytes + 28, "/dev/ttyUSB0", 12);
    ASSERT_TRUE(aLinkSpec_FromRecord(bytes, sizeof(linkSpec), &spec));
    EXPECT_STREQ(spec.portName, "/dev/ttyUSB0");
}
