#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>

#include "common/Log.h"

namespace {

// Points the log at a temporary file and restores the global state after.
struct LogTest : ::testing::Test {
    FILE* out = tmpfile();
    LogTest()
    {
        Log::SetOutput(out);
        Log::package_bitmask = 0;
        Log::timestamped = false;
    }
    ~LogTest() override
    {
        Log::SetOutput(nullptr);
        Log::package_bitmask = 0;
        Log::timestamped = false;
        fclose(out);
    }
    std::string written()
    {
        fflush(out);
        rewind(out);
        std::string text;
        for (int c; (c = fgetc(out)) != EOF;)
            text += char(c);
        return text;
    }
};

}  // namespace

TEST_F(LogTest, PackageZeroIsAlwaysWritten)
{
    Log::log(0, "block %d sent\n", 3);
    EXPECT_EQ(written(), "block 3 sent\n");
}

TEST_F(LogTest, PackagesNeedTheirBit)
{
    Log::log(DEBUG_Network_FIRM, "hidden\n");
    Log::ActivatePackage(DEBUG_Network_FIRM | DEBUG_APP);
    EXPECT_EQ(Log::package_bitmask, 0x00010400u);
    Log::log(DEBUG_Network_FIRM, "firm\n");
    Log::log(DEBUG_Updater, "other\n");
    Log::log(DEBUG_Updater | DEBUG_APP, "either bit\n");
    Log::DeactivatePackage(DEBUG_Network_FIRM);
    Log::log(DEBUG_Network_FIRM, "hidden again\n");
    EXPECT_EQ(written(), "firm\neither bit\n");
}

TEST_F(LogTest, TheTwoNetworkBitsAreDistinct)
{
    Log::ActivatePackage(DEBUG_Network);
    Log::log(DEBUG_Network_Legacy, "0x10\n");
    Log::log(DEBUG_Network, "0x100\n");
    EXPECT_EQ(written(), "0x100\n");
    EXPECT_EQ(DEBUG_Network_Legacy, 0x10u);
    EXPECT_EQ(DEBUG_Network, 0x100u);
    EXPECT_EQ(DEBUG_iMXSerial, 0x10000000u);
}

TEST_F(LogTest, LongMessagesAreCut)
{
    std::string long_text(3000, 'z');
    Log::log(0, "%s", long_text.c_str());
    EXPECT_EQ(written(), std::string(2047, 'z'));
}

TEST_F(LogTest, NoOutputNoWrite)
{
    Log::SetOutput(nullptr);
    Log::log(0, "nowhere\n");
    Log::SetOutput(out);
    EXPECT_EQ(written(), "");
}

TEST_F(LogTest, TimestampsPrecedeLongFormatsOnTheSameStream)
{
    Log::timestamped = true;
    Log::log(0, "short\n");            // 6 characters: no stamp
    Log::log(0, "a longer format\n");  // more than 10: stamped
    std::string text = written();
    EXPECT_TRUE(std::regex_match(text, std::regex(R"(short\n\d{4}:\d\d:\d\d:\d\d:\d\d:\d\d \| a longer format\n)")))
        << text;
}

TEST(LogVisible, ControlAndHighBytesBecomeEscapes)
{
    struct Case {
        std::string bytes, text;
    };
    const Case cases[] = {
        {"", ""},
        {"OK\r\n", "OK\\r\\n"},
        {"? x~", "? x~"},
        {std::string("\0\x13\x1F", 3), "\\x00\\x13\\x1F"},
        {"\x7F\x80\xFF", "\\x7F\\x80\\xFF"},
        {"\\r", "\\r"},  // a backslash passes as it is
    };
    for (const Case& c : cases)
        EXPECT_EQ(Log::Visible(c.bytes.data(), c.bytes.size()), c.text) << c.text;
}
