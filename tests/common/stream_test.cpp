#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <unistd.h>
#include <vector>

#include "common/aStream.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A scripted transport: get hands out queued results, put and write record what they got.
struct Script {
    std::deque<std::pair<aErr, uint8_t>> gets;
    Bytes put;
    std::vector<Bytes> writes;
    int deletes = 0;

    void bytes(const Bytes& b)
    {
        for (uint8_t v : b)
            gets.push_back({aErrNone, v});
    }
    void result(aErr err) { gets.push_back({err, 0}); }
};

aErr scriptGet(uint8_t* byte, void* ref)
{
    auto* s = static_cast<Script*>(ref);
    if (s->gets.empty())
        return aErrNotReady;
    auto [err, value] = s->gets.front();
    s->gets.pop_front();
    if (err == aErrNone)
        *byte = value;
    return err;
}
aErr scriptPut(const uint8_t* byte, void* ref)
{
    static_cast<Script*>(ref)->put.push_back(*byte);
    return aErrNone;
}
aErr scriptWrite(const uint8_t* bytes, size_t length, void* ref)
{
    static_cast<Script*>(ref)->writes.emplace_back(bytes, bytes + length);
    return aErrNone;
}
aErr scriptDelete(void* ref)
{
    static_cast<Script*>(ref)->deletes++;
    return aErrNone;
}

struct ScriptStream {
    Script script;
    aStreamRef stream = aStream_Create(scriptGet, scriptPut, scriptWrite, scriptDelete, &script);
    ~ScriptStream() { aStream_Destroy(&stream); }
};

TEST(Stream, ReadIsAllOrNothing)
{
    ScriptStream s;
    s.script.bytes({1, 2});
    uint8_t out[4] = {};
    EXPECT_EQ(aStream_Read(s.stream, out, 4), aErrNotReady);
    s.script.bytes({3, 4, 5});
    EXPECT_EQ(aStream_Read(s.stream, out, 4), aErrNone);
    EXPECT_EQ(Bytes(out, out + 4), (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(aStream_Read(s.stream, out, 1), aErrNone);
    EXPECT_EQ(out[0], 5);
    EXPECT_EQ(aStream_Read(s.stream, out, 0), aErrNone);
}

TEST(Stream, ReadAtEndAndOnFailure)
{
    ScriptStream s;
    s.script.bytes({7, 8});
    s.script.result(aErrEOF);
    uint8_t out[4] = {};
    EXPECT_EQ(aStream_Read(s.stream, out, 4), aErrEOF);
    EXPECT_EQ(out[0], 7);
    EXPECT_EQ(out[1], 8);
    s.script.bytes({9});
    s.script.result(aErrIO);
    s.script.bytes({10});
    EXPECT_EQ(aStream_Read(s.stream, out, 3), aErrIO);
    EXPECT_EQ(aStream_Read(s.stream, out, 1), aErrNone);  // the byte before the failure is gone
    EXPECT_EQ(out[0], 10);
}

TEST(Stream, RefusesBadArguments)
{
    ScriptStream s;
    uint8_t out[2];
    EXPECT_EQ(aStream_Read(nullptr, out, 1), aErrParam);
    EXPECT_EQ(aStream_Read(s.stream, nullptr, 1), aErrParam);
    EXPECT_EQ(aStream_Write(s.stream, nullptr, 1), aErrParam);
    aStreamRef writeOnly = aStream_Create(nullptr, scriptPut, nullptr, nullptr, &s.script);
    EXPECT_EQ(aStream_Read(writeOnly, out, 1), aErrMode);
    aStreamRef readOnly = aStream_Create(scriptGet, nullptr, nullptr, nullptr, &s.script);
    EXPECT_EQ(aStream_Write(readOnly, out, 1), aErrMode);
    EXPECT_EQ(aStream_Flush(readOnly, readOnly), aErrMode);
    aStream_Destroy(&writeOnly);
    aStream_Destroy(&readOnly);
    aStream bogus{};
    EXPECT_EQ(aStream_Read(&bogus, out, 1), aErrParam);
}

TEST(Stream, PushBackGrowsAndKeepsOrder)
{
    ScriptStream s;
    for (int i = 0; i < 600; i++)
        ASSERT_EQ(aStreamBufferChar(s.stream, static_cast<uint8_t>(i)), aErrNone);
    EXPECT_EQ(s.stream->bufSize, 1024u);
    EXPECT_EQ(s.stream->bufCount, 600u);
    s.script.bytes({0xEE});
    Bytes out(601);
    ASSERT_EQ(aStream_Read(s.stream, out.data(), 601), aErrNone);
    for (int i = 0; i < 600; i++)
        ASSERT_EQ(out[i], static_cast<uint8_t>(i));
    EXPECT_EQ(out[600], 0xEE);
}

TEST(Stream, PushBackWrapsAroundTheRing)
{
    ScriptStream s;
    uint8_t out[300];
    for (int round = 0; round < 5; round++) {
        for (int i = 0; i < 300; i++)
            ASSERT_EQ(aStreamBufferChar(s.stream, static_cast<uint8_t>(i + round)), aErrNone);
        ASSERT_EQ(aStream_Read(s.stream, out, 300), aErrNone);
        for (int i = 0; i < 300; i++)
            ASSERT_EQ(out[i], static_cast<uint8_t>(i + round));
    }
    EXPECT_EQ(s.stream->bufSize, 512u);
}

TEST(Stream, WriteUsesPutForOneByteAndWriteForBlocks)
{
    ScriptStream s;
    const uint8_t data[] = {1, 2};
    EXPECT_EQ(aStream_Write(s.stream, data, 1), aErrNone);
    EXPECT_EQ(s.script.put, (Bytes{1}));
    EXPECT_TRUE(s.script.writes.empty());
    EXPECT_EQ(aStream_Write(s.stream, data, 2), aErrNone);
    ASSERT_EQ(s.script.writes.size(), 1u);
    EXPECT_EQ(s.script.writes[0], (Bytes{1, 2}));
    EXPECT_EQ(aStream_Write(s.stream, data, 0), aErrNone);

    aStreamRef putOnly = aStream_Create(nullptr, scriptPut, nullptr, nullptr, &s.script);
    EXPECT_EQ(aStream_Write(putOnly, data, 2), aErrNone);
    EXPECT_EQ(s.script.put, (Bytes{1, 1, 2}));
    aStream_Destroy(&putOnly);
}

TEST(Stream, CStrings)
{
    ScriptStream s;
    s.script.bytes({0x61, 0x62, 0x63, 0x00, 0x64});
    char buffer[8];
    EXPECT_EQ(aStream_ReadCString(s.stream, buffer, sizeof buffer), aErrNone);
    EXPECT_STREQ(buffer, "abc");
    uint8_t next;
    ASSERT_EQ(aStream_Read(s.stream, &next, 1), aErrNone);
    EXPECT_EQ(next, 0x64);

    s.script.bytes({'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'});
    s.script.result(aErrEOF);
    EXPECT_EQ(aStream_ReadCString(s.stream, buffer, sizeof buffer), aErrNone);
    EXPECT_STREQ(buffer, "0123456");
    EXPECT_EQ(aStream_ReadCString(s.stream, buffer, sizeof buffer), aErrNone);
    EXPECT_STREQ(buffer, "789");
    EXPECT_EQ(aStream_ReadCString(s.stream, buffer, sizeof buffer), aErrNotReady);

    EXPECT_EQ(aStream_WriteCString(s.stream, "hi"), aErrNone);
    EXPECT_EQ(aStream_WriteCStringRecord(s.stream, "ab", "\r\n"), aErrNone);
    Bytes written;
    for (auto& w : s.script.writes)
        written.insert(written.end(), w.begin(), w.end());
    EXPECT_EQ(written, (Bytes{'h', 'i', 0, 0x61, 0x62, 0x0D, 0x0A, 0x00}));
}

TEST(Stream, RecordsPushBackWhenTheLineRunsDry)
{
    ScriptStream s;
    s.script.bytes({'O', 'K'});
    char buffer[16];
    EXPECT_EQ(aStream_ReadCStringRecord(s.stream, buffer, sizeof buffer, "\r\n"), aErrNotReady);
    s.script.bytes({'\r', '\n', 'x'});
    EXPECT_EQ(aStream_ReadCStringRecord(s.stream, buffer, sizeof buffer, "\r\n"), aErrNone);
    EXPECT_STREQ(buffer, "OK");

    // A partial separator followed by other bytes is data.
    s.script.bytes({'\r', 'y', '\r', '\r', '\n'});
    EXPECT_EQ(aStream_ReadCStringRecord(s.stream, buffer, sizeof buffer, "\r\n"), aErrNone);
    EXPECT_STREQ(buffer, "x\ry\r");

    s.script.result(aErrEOF);
    size_t count = 99;
    uint8_t raw[4];
    const uint8_t sep = ';';
    EXPECT_EQ(aStream_ReadRecord(s.stream, raw, &count, sizeof raw, &sep, 1), aErrEOF);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(aStream_ReadRecord(s.stream, raw, &count, sizeof raw, &sep, 0), aErrParam);
}

TEST(Stream, FlushCopiesUntilTheEnd)
{
    ScriptStream in, out;
    in.script.bytes({1, 2, 3});
    in.script.result(aErrEOF);
    EXPECT_EQ(aStream_Flush(in.stream, out.stream), aErrNone);
    EXPECT_EQ(out.script.put, (Bytes{1, 2, 3}));
    in.script.bytes({4});
    EXPECT_EQ(aStream_Flush(in.stream, out.stream), aErrNotReady);
}

TEST(Stream, DestroyRunsDeleteOnceAndNullsTheHandle)
{
    Script script;
    aStreamRef stream = aStream_Create(scriptGet, nullptr, nullptr, scriptDelete, &script);
    aStreamBufferChar(stream, 1);
    EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(script.deletes, 1);
    EXPECT_EQ(aStream_Destroy(&stream), aErrParam);
    EXPECT_EQ(script.deletes, 1);
}

class FileStream : public ::testing::Test {
protected:
    void SetUp() override
    {
        char name[] = "/tmp/stream_testXXXXXX";
        int fd = mkstemp(name);
        ASSERT_GE(fd, 0);
        close(fd);
        path = name;
    }
    void TearDown() override { unlink(path.c_str()); }
    std::string path;
};

TEST_F(FileStream, WriteThenReadBack)
{
    aStreamRef out = nullptr;
    ASSERT_EQ(aStream_CreateFileOutput(path.c_str(), &out), aErrNone);
    EXPECT_EQ(aStream_WriteCStringRecord(out, "line", "\n"), aErrNone);
    const uint8_t one = 'Z';
    EXPECT_EQ(aStream_Write(out, &one, 1), aErrNone);
    uint8_t byte;
    EXPECT_EQ(aStream_Read(out, &byte, 1), aErrMode);
    EXPECT_EQ(aStream_Destroy(&out), aErrNone);

    aStreamRef in = nullptr;
    ASSERT_EQ(aStream_CreateFileInput(path.c_str(), &in), aErrNone);
    char buffer[16];
    EXPECT_EQ(aStream_ReadCStringRecord(in, buffer, sizeof buffer, "\n"), aErrNone);
    EXPECT_STREQ(buffer, "line");
    uint8_t rest[3] = {};
    EXPECT_EQ(aStream_Read(in, rest, 3), aErrEOF);
    EXPECT_EQ(rest[0], 0);  // the separator's terminating zero
    EXPECT_EQ(rest[1], 'Z');
    EXPECT_EQ(aStream_Write(in, rest, 2), aErrMode);
    EXPECT_EQ(aStream_Destroy(&in), aErrNone);
}

TEST_F(FileStream, FlushCopiesAFile)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    std::fputs("copy me", f);
    std::fclose(f);
    std::string copyPath = path + ".copy";
    aStreamRef in = nullptr, out = nullptr;
    ASSERT_EQ(aStream_CreateFileInput(path.c_str(), &in), aErrNone);
    ASSERT_EQ(aStream_CreateFileOutput(copyPath.c_str(), &out), aErrNone);
    EXPECT_EQ(aStream_Flush(in, out), aErrNone);
    aStream_Destroy(&in);
    aStream_Destroy(&out);
    char buffer[32] = {};
    f = std::fopen(copyPath.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    std::fread(buffer, 1, sizeof buffer - 1, f);
    std::fclose(f);
    unlink(copyPath.c_str());
    EXPECT_STREQ(buffer, "copy me");
}

TEST_F(FileStream, CreationFailures)
{
    aStreamRef s = reinterpret_cast<aStreamRef>(1);
    EXPECT_EQ(aStream_CreateFileInput("/nonexistent/dir/file", &s), aErrResource);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(aStream_CreateFileInput(nullptr, &s), aErrResource);
    EXPECT_EQ(aStream_CreateFileOutput(path.c_str(), nullptr), aErrResource);
}

}  // namespace
