#include <gtest/gtest.h>

#include <unistd.h>

#include <vector>

#include "common/aStream.h"
#include "support/FdIo.h"
#include "support/PtyPair.h"
#include "support/TcpListener.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Reads n bytes, waiting on the stream whenever it has none yet.
aErr readWaiting(aStreamRef s, size_t n, Bytes& out)
{
    while (out.size() < n) {
        uint8_t b;
        aErr err = aStream_Read(s, &b, 1);
        if (err == aErrNotReady) {
            aStream_Wait(s, 1000);
            continue;
        }
        if (err != aErrNone)
            return err;
        out.push_back(b);
    }
    return aErrNone;
}

TEST(PacketizedSerial, FramesOnTheLine)
{
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    aStreamRef s = nullptr;
    ASSERT_EQ(aStream_CreateSerial_Packetized(pty.slavePath().c_str(), 6, false, 0, 0, &s), aErrNone);
    const uint8_t packet[] = {0x04, 0x02, 0x11, 0x22};
    EXPECT_EQ(aStream_Write(s, packet, sizeof packet), aErrNone);
    EXPECT_EQ(pty.read(7, 5000), (Bytes{0x06, 0x04, 0x02, 0x11, 0x22, 0xF6, 0x00}));

    ASSERT_TRUE(pty.write({0x06, 0x04, 0x02, 0x11, 0x22, 0xF7, 0x00, 0x02, 0x04, 0x02, 0x3B, 0x00}));
    aErr err;
    uint8_t b;
    do {
        aStream_Wait(s, 1000);
        err = aStream_Read(s, &b, 1);
    } while (err == aErrNotReady);
    EXPECT_EQ(err, aErrPacket);  // the bad CRC
    Bytes got;
    EXPECT_EQ(readWaiting(s, 2, got), aErrNone);
    EXPECT_EQ(got, (Bytes{0x04, 0x00}));
    EXPECT_EQ(aStream_Destroy(&s), aErrNone);
}

TEST(PacketizedSerial, MissingPortAndBadArguments)
{
    aStreamRef s = nullptr;
    EXPECT_EQ(aStream_CreateSerial_Packetized("/dev/no-such-port", 6, false, 0, 0, &s), aErrNotFound);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(aStream_CreateSerial("/dev/no-such-port", 6, false, 0, 0, &s), aErrNotFound);
    EXPECT_EQ(aStream_CreateSerial("/dev/null", 6, false, 3, 0, &s), aErrResource);
}

TEST(SerialStream, RawBytes)
{
    PtyPair pty;
    aStreamRef s = nullptr;
    ASSERT_EQ(aStream_CreateSerial(pty.slavePath().c_str(), 7, false, 0, 0, &s), aErrNone);
    EXPECT_EQ(aStream_WriteCString(s, "?"), aErrNone);
    EXPECT_EQ(pty.read(2, 5000), (Bytes{'?', 0}));
    ASSERT_TRUE(pty.write({'S', 'y', 'n', '\r', '\n'}));
    char line[16];
    aErr err;
    do {
        aStream_Wait(s, 1000);
        err = aStream_ReadCStringRecord(s, line, sizeof line, "\r\n");
    } while (err == aErrNotReady);
    EXPECT_EQ(err, aErrNone);
    EXPECT_STREQ(line, "Syn");
    aStream_Destroy(&s);
}

TEST(SocketStream, BytesBothWays)
{
    TcpListener listener;
    aStreamRef s = nullptr;
    ASSERT_EQ(aStream_CreateSocket(TcpListener::loopback(), listener.port(), &s), aErrNone);
    int peer = listener.accept(600000);
    ASSERT_GE(peer, 0);
    const uint8_t packet[] = {0xAD, 0x00};
    EXPECT_EQ(aStream_Write(s, packet, 2), aErrNone);
    EXPECT_EQ(fdio::readFor(peer, 2, 5000), (Bytes{0xAD, 0x00}));
    const uint8_t reply[] = {0x04, 0x00};
    fdio::writeAll(peer, reply, 2);
    Bytes got;
    EXPECT_EQ(readWaiting(s, 2, got), aErrNone);
    EXPECT_EQ(got, (Bytes{0x04, 0x00}));
    close(peer);
    aStream_Destroy(&s);

    listener.close();
    EXPECT_EQ(aStream_CreateSocket(TcpListener::loopback(), listener.port(), &s), aErrResource);
    EXPECT_EQ(s, nullptr);
}

}  // namespace
