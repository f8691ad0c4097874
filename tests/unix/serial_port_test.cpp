#include <gtest/gtest.h>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <vector>

#include "support/PtyPair.h"
#include "unix/aSerialPort.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct OpenPort {
    SerialStreamData* port = nullptr;
    ~OpenPort()
    {
        if (port)
            aSerialPort_Delete(port);
    }
};

TEST(SerialPort, BaudIndexTable)
{
    const uint32_t rates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
    for (uint32_t i = 0; i < 8; i++) {
        EXPECT_EQ(aSerialPort_BaudRate(i), rates[i]);
        EXPECT_EQ(aSerialPort_BaudIndex(rates[i]), static_cast<int>(i));
    }
    EXPECT_EQ(aSerialPort_BaudRate(8), 0u);
    EXPECT_EQ(aSerialPort_BaudIndex(1200), -1);
}

TEST(SerialPort, OpenFailures)
{
    SerialStreamData* port = nullptr;
    EXPECT_EQ(aSerialPort_Open("/dev/does-not-exist-tty", 6, false, 0, 0, &port), aErrNotFound);
    EXPECT_EQ(port, nullptr);
    EXPECT_EQ(aSerialPort_Open("/dev/null", 6, false, 0, 0, &port), aErrIO);  // not a terminal
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    EXPECT_EQ(aSerialPort_Open(pty.slavePath().c_str(), 6, false, 2, 0, &port), aErrResource);
    EXPECT_EQ(aSerialPort_Open(pty.slavePath().c_str(), 6, false, 0, 2, &port), aErrResource);
    EXPECT_EQ(aSerialPort_Open(pty.slavePath().c_str(), 8, false, 0, 0, &port), aErrResource);
    EXPECT_EQ(aSerialPort_Open(nullptr, 6, false, 0, 0, &port), aErrResource);
}

TEST(SerialPort, SettingsReadBack)
{
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    OpenPort p;
    ASSERT_EQ(aSerialPort_Open(pty.slavePath().c_str(), 7, false, 0, 0, &p.port), aErrNone);
    struct termios t;
    ASSERT_EQ(tcgetattr(aSerialPort_Descriptor(p.port), &t), 0);
    EXPECT_EQ(cfgetospeed(&t), B230400);
    EXPECT_EQ(cfgetispeed(&t), B230400);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_TRUE(t.c_cflag & CREAD);
    EXPECT_TRUE(t.c_cflag & CLOCAL);
    EXPECT_FALSE(t.c_cflag & PARENB);
    EXPECT_FALSE(t.c_cflag & CSTOPB);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
}

TEST(SerialPort, SettingsForParitySevenBitsTwoStops)
{
    struct termios t = {};
    t.c_lflag = ICANON | ECHO;
    t.c_oflag = OPOST;
    aSerialPort_MakeSettings(&t, 2, true, 1, 1);
    EXPECT_EQ(cfgetospeed(&t), B9600);
    EXPECT_EQ(cfgetispeed(&t), B9600);
    EXPECT_EQ(t.c_cflag, static_cast<tcflag_t>(CREAD | CLOCAL | PARENB | CS7 | CSTOPB) | (t.c_cflag & CBAUD));
    EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(IGNBRK | IGNPAR));
    EXPECT_EQ(t.c_lflag, 0u);
    EXPECT_EQ(t.c_oflag, 0u);
    aSerialPort_MakeSettings(&t, 6, false, 0, 0);
    EXPECT_EQ(t.c_cflag & ~CBAUD, static_cast<tcflag_t>(CREAD | CLOCAL | CS8));
    EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(IGNBRK));
}

TEST(SerialPort, TwoStopBitsOnAPort)
{
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    OpenPort p;
    ASSERT_EQ(aSerialPort_Open(pty.slavePath().c_str(), 2, false, 0, 1, &p.port), aErrNone);
    struct termios t;
    ASSERT_EQ(tcgetattr(aSerialPort_Descriptor(p.port), &t), 0);
    EXPECT_EQ(cfgetospeed(&t), B9600);
    EXPECT_TRUE(t.c_cflag & CSTOPB);
}

TEST(SerialPort, BytesBothWaysAndNotReadyWhenIdle)
{
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    ASSERT_TRUE(pty.write({0x99}));  // stale input is discarded at open
    OpenPort p;
    ASSERT_EQ(aSerialPort_Open(pty.slavePath().c_str(), 6, false, 0, 0, &p.port), aErrNone);
    uint8_t b;
    EXPECT_EQ(aSerialPort_Get(&b, p.port), aErrNotReady);
    EXPECT_EQ(aSerialPort_Wait(p.port, 0), aErrTimeout);

    const uint8_t out[] = {1, 2, 3};
    EXPECT_EQ(aSerialPort_Write(out, 3, p.port), aErrNone);
    EXPECT_EQ(aSerialPort_Put(out, p.port), aErrNone);
    EXPECT_EQ(pty.read(4, 5000), (Bytes{1, 2, 3, 1}));

    ASSERT_TRUE(pty.write({7, 8}));
    EXPECT_EQ(aSerialPort_Wait(p.port, 600000), aErrNone);
    Bytes got;
    while (got.size() < 2) {
        aErr err = aSerialPort_Get(&b, p.port);
        if (err == aErrNotReady) {
            aSerialPort_Wait(p.port, 1000);
            continue;
        }
        ASSERT_EQ(err, aErrNone);
        got.push_back(b);
    }
    EXPECT_EQ(got, (Bytes{7, 8}));
    EXPECT_EQ(aSerialPort_Get(&b, p.port), aErrNotReady);
}

TEST(SerialPort, DeleteRestoresTheSettingsFoundAtOpen)
{
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    int probe = open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(probe, 0);
    struct termios before;
    tcgetattr(probe, &before);
    SerialStreamData* port = nullptr;
    ASSERT_EQ(aSerialPort_Open(pty.slavePath().c_str(), 0, false, 0, 0, &port), aErrNone);
    EXPECT_EQ(aSerialPort_Delete(port), aErrNone);
    struct termios after;
    tcgetattr(probe, &after);
    close(probe);
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(aSerialPort_Delete(nullptr), aErrParam);
}

}  // namespace

TEST(SerialPort, WriteTimeoutGrowsWithTheLineTime)
{
    const struct {
        uint32_t baudIndex;
        size_t length;
        uint32_t ms;
    } cases[] = {
        {6, 0, aSERIAL_WRITE_SLACK_MS},
        {6, 1, aSERIAL_WRITE_SLACK_MS + 2},         // 10 bits at 115200: under 1 ms, rounded up
        {6, 11520, aSERIAL_WRITE_SLACK_MS + 2000},  // one second of line time, doubled
        {0, 240, aSERIAL_WRITE_SLACK_MS + 2000},    // 2400 baud
        {7, 23040, aSERIAL_WRITE_SLACK_MS + 2000},  // 230400 baud
        {99, 240, aSERIAL_WRITE_SLACK_MS + 2000},   // unknown index: the slowest rate
    };
    for (const auto& c : cases)
        EXPECT_EQ(aSerialPort_WriteTimeoutMs(c.baudIndex, c.length), c.ms) << c.baudIndex << " " << c.length;
}

// A line whose far end takes nothing (here a pseudo-terminal nobody reads) fills up;
// the write then ends at its deadline instead of blocking, and what went out arrives.
TEST(SerialPort, WriteToALineThatTakesNothingEndsAtItsDeadline)
{
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    OpenPort p;
    ASSERT_EQ(aSerialPort_Open(pty.slavePath().c_str(), 7, false, 0, 0, &p.port), aErrNone);
    std::vector<uint8_t> chunk(4096);
    for (size_t i = 0; i < chunk.size(); ++i)
        chunk[i] = static_cast<uint8_t>(i * 7 + 1);
    aErr err = aErrNone;
    int chunks = 0;
    const auto start = std::chrono::steady_clock::now();
    while (err == aErrNone && chunks < 1000) {
        err = aSerialPort_Write(chunk.data(), chunk.size(), p.port);
        if (err == aErrNone)
            ++chunks;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(err, aErrTimeout);
    EXPECT_LT(chunks, 1000);
    EXPECT_LT(seconds, 20.0);
    // The line drains again: the first bytes are the first chunk, and writing works anew.
    Bytes first = pty.read(chunk.size(), 5000);
    EXPECT_EQ(first, Bytes(chunk.begin(), chunk.end()));
    std::vector<uint8_t> rest;
    do {
        rest = pty.read(1 << 20, 200);
    } while (!rest.empty());
    const uint8_t tail[] = {0x55, 0xAA};
    EXPECT_EQ(aSerialPort_Write(tail, 2, p.port), aErrNone);
    EXPECT_EQ(pty.read(2, 5000), (Bytes{0x55, 0xAA}));
}
