#include <gtest/gtest.h>

#include <deque>
#include <vector>

#include "common/aStreamCobs.h"
#include "support/ModulePeer.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The inner transport: bytes to hand out, and the blocks written through it.
struct Line {
    std::deque<uint8_t> incoming;
    std::vector<Bytes> writes;
    Bytes put;
    bool deleted = false;
};

aErr lineGet(uint8_t* byte, void* ref)
{
    auto* line = static_cast<Line*>(ref);
    if (line->incoming.empty())
        return aErrNotReady;
    *byte = line->incoming.front();
    line->incoming.pop_front();
    return aErrNone;
}
aErr linePut(const uint8_t* byte, void* ref)
{
    static_cast<Line*>(ref)->put.push_back(*byte);
    return aErrNone;
}
aErr lineWrite(const uint8_t* bytes, size_t length, void* ref)
{
    static_cast<Line*>(ref)->writes.emplace_back(bytes, bytes + length);
    return aErrNone;
}
aErr lineDelete(void* ref)
{
    static_cast<Line*>(ref)->deleted = true;
    return aErrNone;
}

struct CobsStream {
    Line line;
    aStreamRef stream = nullptr;
    CobsStream()
    {
        EXPECT_EQ(aStream_CreateCobsEncoding(lineGet, linePut, lineWrite, lineDelete, &line, &stream), aErrNone);
    }
    ~CobsStream() { aStream_Destroy(&stream); }

    void receive(const Bytes& bytes) { line.incoming.insert(line.incoming.end(), bytes.begin(), bytes.end()); }
    // Gets until the stream is idle: the bytes handed out, and the first error that is not
    // "not ready" (aErrNone if none came).
    std::pair<Bytes, aErr> drain()
    {
        Bytes out;
        for (;;) {
            uint8_t b;
            aErr err = aStream_Read(stream, &b, 1);
            if (err == aErrNotReady)
                return {out, aErrNone};
            if (err != aErrNone)
                return {out, err};
            out.push_back(b);
        }
    }
};

TEST(CobsStream, WritesOneFramePerPacket)
{
    CobsStream c;
    const uint8_t packet[] = {0x04, 0x02, 0x11, 0x22};
    EXPECT_EQ(aStream_Write(c.stream, packet, sizeof packet), aErrNone);
    ASSERT_EQ(c.line.writes.size(), 1u);
    EXPECT_EQ(c.line.writes[0], (Bytes{0x06, 0x04, 0x02, 0x11, 0x22, 0xF6, 0x00}));

    const uint8_t empty[] = {0x04, 0x00};
    EXPECT_EQ(aStream_Write(c.stream, empty, sizeof empty), aErrNone);
    ASSERT_EQ(c.line.writes.size(), 2u);
    EXPECT_EQ(c.line.writes[1], (Bytes{0x02, 0x04, 0x02, 0x3B, 0x00}));
}

TEST(CobsStream, PacketsSplitOverWritesAndPooledInOne)
{
    CobsStream c;
    const uint8_t head[] = {0x04, 0x02, 0x11};
    const uint8_t tail[] = {0x22, 0x06, 0x00, 0x08, 0x01};
    EXPECT_EQ(aStream_Write(c.stream, head, sizeof head), aErrNone);
    EXPECT_TRUE(c.line.writes.empty());
    EXPECT_EQ(aStream_Write(c.stream, tail, sizeof tail), aErrNone);
    ASSERT_EQ(c.line.writes.size(), 2u);  // the packet from 8 still waits for its payload
    EXPECT_EQ(c.line.writes[1], SerialFrame({0x06, 0x00}));
    const uint8_t last = 0x33;
    EXPECT_EQ(aStream_Write(c.stream, &last, 1), aErrNone);  // one byte goes to put, unframed
    EXPECT_EQ(c.line.put, (Bytes{0x33}));
}

TEST(CobsStream, LongestPacketFitsTheFrameBuffers)
{
    CobsStream c;
    Bytes wire = {0x04, 28};
    for (int i = 0; i < 28; i++)
        wire.push_back(static_cast<uint8_t>(0x80 + i));
    EXPECT_EQ(aStream_Write(c.stream, wire.data(), wire.size()), aErrNone);
    ASSERT_EQ(c.line.writes.size(), 1u);
    EXPECT_EQ(c.line.writes[0], SerialFrame(wire));
    // And it comes back through the receiving side whole.
    c.receive(c.line.writes[0]);
    auto [got, err] = c.drain();
    EXPECT_EQ(err, aErrNone);
    EXPECT_EQ(got, wire);
}

TEST(CobsStream, BytesThatCannotFormAPacketAreRefused)
{
    CobsStream c;
    const uint8_t noAddress[] = {0x00, 0x01, 0x02};
    EXPECT_EQ(aStream_Write(c.stream, noAddress, 2), aErrPacket);
    const uint8_t tooLong[] = {0x04, 29};
    EXPECT_EQ(aStream_Write(c.stream, tooLong, 2), aErrPacket);
    EXPECT_TRUE(c.line.writes.empty());
    const uint8_t good[] = {0x04, 0x00};
    EXPECT_EQ(aStream_Write(c.stream, good, 2), aErrNone);
    EXPECT_EQ(c.line.writes.size(), 1u);
}

TEST(CobsStream, ReceivesFrames)
{
    CobsStream c;
    c.receive({0x06, 0x04, 0x02, 0x11, 0x22, 0xF6, 0x00, 0x02, 0x04, 0x02, 0x3B, 0x00});
    auto [got, err] = c.drain();
    EXPECT_EQ(err, aErrNone);
    EXPECT_EQ(got, (Bytes{0x04, 0x02, 0x11, 0x22, 0x04, 0x00}));
}

TEST(CobsStream, PartialFrameIsNotReadyUntilComplete)
{
    CobsStream c;
    c.receive({0x06, 0x04, 0x02});
    uint8_t b;
    EXPECT_EQ(aStream_Read(c.stream, &b, 1), aErrNotReady);
    c.receive({0x11, 0x22, 0xF6, 0x00});
    auto [got, err] = c.drain();
    EXPECT_EQ(got, (Bytes{0x04, 0x02, 0x11, 0x22}));
}

TEST(CobsStream, BadFramesAreRefusedAndTheNextOneArrives)
{
    CobsStream c;
    c.receive({0x06, 0x04, 0x02, 0x11, 0x22, 0xF7, 0x00});  // wrong CRC
    c.receive(SerialFrame({0x04, 0x03, 0x11, 0x22}));       // length byte says 3, two follow
    c.receive({0x00, 0x00});                                // empty frames are ignored
    c.receive(Bytes(40, 0x41));                             // over-long frame
    c.receive({0x00});
    c.receive({0x05, 0x11, 0x00});  // malformed COBS
    c.receive({0x02, 0x04, 0x02, 0x3B, 0x00});
    uint8_t b;
    EXPECT_EQ(aStream_Read(c.stream, &b, 1), aErrPacket);
    EXPECT_EQ(aStream_Read(c.stream, &b, 1), aErrPacket);
    EXPECT_EQ(aStream_Read(c.stream, &b, 1), aErrPacket);
    EXPECT_EQ(aStream_Read(c.stream, &b, 1), aErrPacket);
    auto [got, err] = c.drain();
    EXPECT_EQ(err, aErrNone);
    EXPECT_EQ(got, (Bytes{0x04, 0x00}));
}

TEST(CobsStream, DeleteRunsTheInnerDelete)
{
    Line line;
    aStreamRef s = nullptr;
    ASSERT_EQ(aStream_CreateCobsEncoding(lineGet, linePut, lineWrite, lineDelete, &line, &s), aErrNone);
    EXPECT_EQ(aStream_Destroy(&s), aErrNone);
    EXPECT_TRUE(line.deleted);
    EXPECT_EQ(aStream_CreateCobsEncoding(lineGet, linePut, lineWrite, lineDelete, &line, nullptr), aErrParam);
}

}  // namespace
