#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "support/TempDir.h"
#include "unix/aFile.h"

using testsupport::TempDir;

namespace {

struct aFileTest : ::testing::Test {
    TempDir dir;
    aFileRef file = nullptr;
    ~aFileTest() override { aFile_Close(&file); }

    aFileRef open(const std::string& content, aFileMode mode = aFileModeRead)
    {
        file = aFile_Open(dir.Write("f", content).c_str(), mode);
        EXPECT_NE(file, nullptr);
        return file;
    }
};

}  // namespace

TEST_F(aFileTest, ExistsOnlyForNonDirectories)
{
    EXPECT_TRUE(aFile_Exists(dir.Write("f", "x").c_str()));
    EXPECT_FALSE(aFile_Exists(dir.path().c_str()));
    EXPECT_FALSE(aFile_Exists((dir / "missing").c_str()));
    EXPECT_FALSE(aFile_Exists(nullptr));
}

TEST_F(aFileTest, PathLengthLimitIs1024)
{
    std::string at_limit(1024, 'a'), over_limit(1025, 'a');
    EXPECT_EQ(aFile_Open(over_limit.c_str(), aFileModeWrite), nullptr);
    EXPECT_EQ(aFile_Delete(over_limit.c_str()), aErrFileNameLength);
    // 1024 characters pass the length check and reach the platform, which
    // refuses a single name that long for its own reason.
    EXPECT_EQ(aFile_Delete(at_limit.c_str()), aErrIO);
    EXPECT_EQ(aFile_Open("", aFileModeWrite), nullptr);
    EXPECT_EQ(aFile_Open(nullptr, aFileModeRead), nullptr);
    EXPECT_EQ(aFile_Open((dir / "n").c_str(), aFileModeNone), nullptr);
    EXPECT_FALSE(aFile_Exists((dir / "n").c_str()));
}

TEST_F(aFileTest, ReadingTakesRegularFilesOnlyWithoutWaiting)
{
    const std::string pipe = dir / "pipe";
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);  // would block an open for ever
    for (const std::string& path : {pipe, dir.path(), std::string("/dev/zero")})
        EXPECT_EQ(aFile_Open(path.c_str(), aFileModeRead), nullptr) << path;
}

TEST_F(aFileTest, CloseNullsTheHandleAndRefusesNull)
{
    open("x");
    EXPECT_EQ(aFile_Close(&file), aErrNone);
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(aFile_Close(&file), aErrParam);
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(aFile_Close(nullptr), aErrParam);
}

TEST_F(aFileTest, HandleOperationsRefuseNull)
{
    uint8_t byte;
    char line[8];
    size_t count = 99;
    EXPECT_EQ(aFile_Read(nullptr, &byte, 1, &count), aErrParam);
    EXPECT_EQ(aFile_Write(nullptr, &byte, 1, nullptr), aErrParam);
    EXPECT_EQ(aFile_ReadLine(nullptr, line, sizeof line, &count), aErrParam);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(aFile_Seek(nullptr, 0, 0), aErrParam);
    EXPECT_EQ(aFile_GetSize(nullptr, &count), aErrParam);
    EXPECT_EQ(aFile_GetPosition(nullptr, &count), aErrParam);
    EXPECT_EQ(aFile_Printf(nullptr, "x"), aErrParam);
    EXPECT_EQ(aFile_SetUnbuffered(nullptr), aErrParam);
}

TEST_F(aFileTest, ModesGuardReadingAndWriting)
{
    uint8_t byte = 'x';
    open("abc", aFileModeWrite);
    EXPECT_EQ(aFile_Read(file, &byte, 1, nullptr), aErrMode);
    aFile_Close(&file);
    open("abc", aFileModeRead);
    EXPECT_EQ(aFile_Write(file, &byte, 1, nullptr), aErrMode);
    EXPECT_EQ(aFile_Printf(file, "%d", 1), aErrMode);
    EXPECT_EQ(aFile_SetUnbuffered(file), aErrMode);
}

TEST_F(aFileTest, ReadReportsCountAndEndOfFile)
{
    open("abc");
    uint8_t buffer[8] = {};
    size_t count = 0;
    EXPECT_EQ(aFile_Read(file, buffer, sizeof buffer, &count), aErrNone);  // short read is success
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 3), "abc");
    EXPECT_EQ(aFile_Read(file, buffer, sizeof buffer, &count), aErrEOF);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(aFile_Read(file, buffer, 0, &count), aErrNone);
}

TEST_F(aFileTest, WriteAndPrintfReachTheFile)
{
    open("old content", aFileModeWrite);  // truncates
    const uint8_t data[] = {'h', 'i', '\n'};
    size_t written = 0;
    EXPECT_EQ(aFile_Write(file, data, sizeof data, &written), aErrNone);
    EXPECT_EQ(written, 3u);
    EXPECT_EQ(aFile_Printf(file, "%s=%08X\n", "SERIAL", 0x40F5849Au), aErrNone);
    aFile_Close(&file);
    EXPECT_EQ(dir.Read("f"), "hi\nSERIAL=40F5849A\n");
}

TEST_F(aFileTest, AppendStartsAtTheEndAndCanReadBack)
{
    open("first\n", aFileModeAppend);
    size_t position = 99;
    EXPECT_EQ(aFile_GetPosition(file, &position), aErrNone);
    EXPECT_EQ(position, 6u);
    EXPECT_EQ(aFile_Printf(file, "second\n"), aErrNone);
    EXPECT_EQ(aFile_Seek(file, 0, 0), aErrNone);
    char line[32];
    size_t length;
    EXPECT_EQ(aFile_ReadLine(file, line, sizeof line, &length), aErrNone);
    EXPECT_STREQ(line, "first\n");
    // Writing after reading still appends.
    EXPECT_EQ(aFile_Printf(file, "third\n"), aErrNone);
    aFile_Close(&file);
    EXPECT_EQ(dir.Read("f"), "first\nsecond\nthird\n");
}

TEST_F(aFileTest, ReadLineAtTheBufferLimit)
{
    std::string fits(2046, 'a'), too_long(2047, 'b');
    open(fits + "\n" + too_long + "\n" + "last");
    char buffer[2048];
    size_t length = 0;
    EXPECT_EQ(aFile_ReadLine(file, buffer, sizeof buffer, &length), aErrNone);
    EXPECT_EQ(length, 2047u);
    EXPECT_EQ(std::string(buffer), fits + "\n");

    EXPECT_EQ(aFile_ReadLine(file, buffer, sizeof buffer, &length), aErrOverrun);
    EXPECT_EQ(length, 2047u);
    EXPECT_EQ(std::string(buffer), too_long);
    EXPECT_EQ(aFile_ReadLine(file, buffer, sizeof buffer, &length), aErrNone);
    EXPECT_STREQ(buffer, "\n");
    EXPECT_EQ(length, 1u);

    EXPECT_EQ(aFile_ReadLine(file, buffer, sizeof buffer, &length), aErrNone);  // no final newline
    EXPECT_STREQ(buffer, "last");
    EXPECT_EQ(aFile_ReadLine(file, buffer, sizeof buffer, &length), aErrEOF);
    EXPECT_EQ(length, 0u);
    EXPECT_STREQ(buffer, "");
}

TEST_F(aFileTest, ReadLineOnEmptyFileIsEndOfFile)
{
    open("");
    char buffer[16] = "stale";
    size_t length = 7;
    EXPECT_EQ(aFile_ReadLine(file, buffer, sizeof buffer, &length), aErrEOF);
    EXPECT_EQ(length, 0u);
    EXPECT_STREQ(buffer, "");
}

TEST_F(aFileTest, SeekStaysWithinTheFile)
{
    open("0123456789");
    size_t position = 0;
    EXPECT_EQ(aFile_Seek(file, 10, 0), aErrNone);  // the size itself is allowed
    EXPECT_EQ(aFile_Seek(file, 11, 0), aErrRange);
    EXPECT_EQ(aFile_GetPosition(file, &position), aErrNone);
    EXPECT_EQ(position, 10u);  // a refused seek does not move
    EXPECT_EQ(aFile_Seek(file, -4, 1), aErrNone);
    EXPECT_EQ(aFile_GetPosition(file, &position), aErrNone);
    EXPECT_EQ(position, 6u);
    EXPECT_EQ(aFile_Seek(file, -7, 1), aErrRange);
    EXPECT_EQ(aFile_Seek(file, -10, 2), aErrNone);
    EXPECT_EQ(aFile_GetPosition(file, &position), aErrNone);
    EXPECT_EQ(position, 0u);  // position 0 is reported too
    EXPECT_EQ(aFile_Seek(file, 1, 2), aErrRange);
    EXPECT_EQ(aFile_Seek(file, -1, 0), aErrRange);
    EXPECT_EQ(aFile_Seek(file, 3, 7), aErrNone);  // unknown origin counts from the start
    uint8_t byte;
    EXPECT_EQ(aFile_Read(file, &byte, 1, nullptr), aErrNone);
    EXPECT_EQ(byte, '3');
}

TEST_F(aFileTest, GetSizeKeepsThePosition)
{
    open("0123456789");
    EXPECT_EQ(aFile_Seek(file, 4, 0), aErrNone);
    size_t size = 0, position = 0;
    EXPECT_EQ(aFile_GetSize(file, &size), aErrNone);
    EXPECT_EQ(size, 10u);
    EXPECT_EQ(aFile_GetPosition(file, &position), aErrNone);
    EXPECT_EQ(position, 4u);
    EXPECT_EQ(aFile_GetSize(file, nullptr), aErrParam);
}

TEST_F(aFileTest, DeleteTranslatesPlatformErrors)
{
    std::string path = dir.Write("gone", "x");
    EXPECT_EQ(aFile_Delete(path.c_str()), aErrNone);
    EXPECT_FALSE(aFile_Exists(path.c_str()));
    EXPECT_EQ(aFile_Delete(path.c_str()), aErrNotFound);
    EXPECT_EQ(aFile_Delete(nullptr), aErrParam);
}

TEST_F(aFileTest, UnbufferedWritesAreVisibleAtOnce)
{
    open("", aFileModeWrite);
    EXPECT_EQ(aFile_SetUnbuffered(file), aErrNone);
    EXPECT_EQ(aFile_Printf(file, "now"), aErrNone);
    EXPECT_EQ(dir.Read("f"), "now");
}
