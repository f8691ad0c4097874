#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "support/FdIo.h"
#include "support/TcpListener.h"
#include "unix/aTcpSocket.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Connection {
    SocketStreamData* socket = nullptr;
    int peer = -1;
    ~Connection()
    {
        if (socket)
            aTcpSocket_Delete(socket);
        if (peer >= 0)
            close(peer);
    }
};

void connectTo(TcpListener& listener, Connection& c)
{
    ASSERT_EQ(aTcpSocket_Open(TcpListener::loopback(), listener.port(), &c.socket), aErrNone);
    c.peer = listener.accept(600000);
    ASSERT_GE(c.peer, 0);
}

// Gets bytes, waiting on the socket whenever it has nothing, until n bytes or a failure.
aErr getBytes(SocketStreamData* s, size_t n, Bytes& out)
{
    while (out.size() < n) {
        uint8_t b;
        aErr err = aTcpSocket_Get(&b, s);
        if (err == aErrNotReady) {
            aTcpSocket_Wait(s, 1000);
            continue;
        }
        if (err != aErrNone)
            return err;
        out.push_back(b);
    }
    return aErrNone;
}

TEST(TcpSocket, BytesBothWays)
{
    TcpListener listener;
    ASSERT_TRUE(listener.ok());
    Connection c;
    connectTo(listener, c);
    uint8_t b;
    EXPECT_EQ(aTcpSocket_Get(&b, c.socket), aErrNotReady);
    EXPECT_EQ(aTcpSocket_Wait(c.socket, 0), aErrTimeout);

    const uint8_t out[] = {0xAD, 0x00, 0xAD, 0x00};
    EXPECT_EQ(aTcpSocket_Write(out, sizeof out, c.socket), aErrNone);
    EXPECT_EQ(aTcpSocket_Put(out, c.socket), aErrNone);
    EXPECT_EQ(fdio::readFor(c.peer, 5, 5000), (Bytes{0xAD, 0x00, 0xAD, 0x00, 0xAD}));

    const uint8_t in[] = {4, 0, 4, 0};
    ASSERT_TRUE(fdio::writeAll(c.peer, in, sizeof in));
    EXPECT_EQ(aTcpSocket_Wait(c.socket, 600000), aErrNone);
    Bytes got;
    EXPECT_EQ(getBytes(c.socket, 4, got), aErrNone);
    EXPECT_EQ(got, (Bytes{4, 0, 4, 0}));
    EXPECT_EQ(aTcpSocket_Get(&b, c.socket), aErrNotReady);
}

TEST(TcpSocket, RefusedConnectionFailsCreation)
{
    uint16_t port;
    {
        TcpListener listener;
        port = listener.port();
    }
    SocketStreamData* s = nullptr;
    EXPECT_EQ(aTcpSocket_Open(TcpListener::loopback(), port, &s), aErrResource);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(aTcpSocket_Open(TcpListener::loopback(), port, nullptr), aErrParam);
    EXPECT_EQ(aTcpSocket_Delete(nullptr), aErrParam);
}

TEST(TcpSocket, ClosedPeerIsAConnectionErrorAndTheSocketReconnects)
{
    TcpListener listener;
    Connection c;
    connectTo(listener, c);
    close(c.peer);
    c.peer = -1;
    uint8_t b;
    aErr err;
    do {
        aTcpSocket_Wait(c.socket, 1000);
        err = aTcpSocket_Get(&b, c.socket);
    } while (err == aErrNotReady);
    EXPECT_EQ(err, aErrConnection);

    listener.close();  // the device is gone: every get fails
    EXPECT_EQ(aTcpSocket_Get(&b, c.socket), aErrConnection);
    const uint8_t out[] = {1, 2};
    EXPECT_EQ(aTcpSocket_Write(out, 2, c.socket), aErrConnection);

    ASSERT_TRUE(listener.reopen());  // it is back: the next get connects again
    EXPECT_EQ(aTcpSocket_Get(&b, c.socket), aErrNotReady);
    c.peer = listener.accept(600000);
    ASSERT_GE(c.peer, 0);
    EXPECT_EQ(aTcpSocket_Write(out, 2, c.socket), aErrNone);
    EXPECT_EQ(fdio::readFor(c.peer, 2, 5000), (Bytes{1, 2}));
}

TEST(TcpSocket, WriteToAPeerThatReadsNothingGivesUp)
{
    TcpListener listener;
    Connection c;
    connectTo(listener, c);
    int small = 4096;
    setsockopt(c.peer, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    Bytes block(64 * 1024 * 1024, 0x55);
    EXPECT_EQ(aTcpSocket_Write(block.data(), block.size(), c.socket), aErrTimeout);
}

}  // namespace
