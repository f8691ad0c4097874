#include "unix/aSerialPort.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <poll.h>
#include <unistd.h>

#include "unix/aTime.h"

#define aSERIAL_CHECK 0xBEEF

struct SerialStreamData {
    uint32_t baudIndex;
    char portName[1024];
    int fd;
    struct termios savedSettings;
    struct termios activeSettings;
    uint16_t check;
    // Bytes read ahead of the caller: one read() serves many single-byte gets. The
    // counts are also looked at by a wait on another thread.
    uint8_t input[64];
    std::atomic<size_t> inputCount;
    std::atomic<size_t> inputNext;
};

namespace {

constexpr speed_t kSpeeds[] = {B2400, B4800, B9600, B19200, B38400, B57600, B115200, B230400};
constexpr uint32_t kRates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
constexpr uint32_t kBaudIndexCount = sizeof kRates / sizeof kRates[0];

SerialStreamData* _port(void* ref)
{
    auto* port = static_cast<SerialStreamData*>(ref);
    return (port && port->check == aSERIAL_CHECK) ? port : nullptr;
}

// Drops whatever the line delivered before we were ready for it.
void _discardPending(int fd)
{
    uint8_t byte;
    while (read(fd, &byte, 1) == 1) {
    }
}

}  // namespace

void aSerialPort_MakeSettings(struct termios* settings, uint32_t baudIndex, bool parity, uint32_t dataBits,
                              uint32_t stopBits)
{
    settings->c_iflag = IGNBRK | (parity ? IGNPAR : 0);
    settings->c_oflag = 0;
    settings->c_cflag =
        CREAD | CLOCAL | (parity ? PARENB : 0) | (dataBits == 1 ? CS7 : CS8) | (stopBits == 1 ? CSTOPB : 0);
    settings->c_lflag = 0;
    settings->c_cc[VMIN] = 0;
    settings->c_cc[VTIME] = 0;
    speed_t speed = baudIndex < kBaudIndexCount ? kSpeeds[baudIndex] : B0;
    cfsetispeed(settings, speed);
    cfsetospeed(settings, speed);
}

uint32_t aSerialPort_BaudRate(uint32_t baudIndex)
{
    return baudIndex < kBaudIndexCount ? kRates[baudIndex] : 0;
}

int aSerialPort_BaudIndex(uint32_t bitsPerSecond)
{
    for (uint32_t i = 0; i < kBaudIndexCount; i++)
        if (kRates[i] == bitsPerSecond)
            return static_cast<int>(i);
    return -1;
}

aErr aSerialPort_Open(const char* portName, uint32_t baudIndex, bool parity, uint32_t dataBits, uint32_t stopBits,
                      SerialStreamData** out)
{
    if (dataBits > 1 || stopBits > 1 || portName == nullptr || out == nullptr)
        return aErrResource;
    // Speed 0 would hang the line up rather than set a rate.
    if (baudIndex >= kBaudIndexCount)
        return aErrResource;
    *out = nullptr;
    auto* port = new (std::nothrow) SerialStreamData{};
    if (!port)
        return aErrResource;
    port->check = aSERIAL_CHECK;
    port->baudIndex = baudIndex;
    std::strncpy(port->portName, portName, sizeof port->portName - 1);
    port->fd = open(port->portName, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (port->fd < 0) {
        aErr err = aError_FromErrno(errno);
        aSerialPort_Delete(port);
        return err;
    }
    aErr err = aErrNone;
    // The descriptor stays non-blocking: reads never wait anyway (VMIN 0, VTIME 0), and a
    // write to a line that takes nothing must end at its deadline rather than block.
    if (tcgetattr(port->fd, &port->savedSettings) != 0) {
        close(port->fd);  // nothing was changed yet: nothing to restore
        port->fd = -1;
        aSerialPort_Delete(port);
        return aErrIO;
    }
    port->activeSettings = port->savedSettings;
    aSerialPort_MakeSettings(&port->activeSettings, baudIndex, parity, dataBits, stopBits);
    if (tcsetattr(port->fd, TCSANOW, &port->activeSettings) != 0 || tcflush(port->fd, TCIOFLUSH) != 0)
        err = aErrIO;
    if (err != aErrNone) {
        aSerialPort_Delete(port);
        return err;
    }
    aTime_MSSleep(200);
    _discardPending(port->fd);
    *out = port;
    return aErrNone;
}

aErr aSerialPort_Get(uint8_t* byte, void* ref)
{
    SerialStreamData* port = _port(ref);
    if (!port || !byte)
        return aErrParam;
    if (port->inputNext == port->inputCount) {
        ssize_t n = read(port->fd, port->input, sizeof port->input);
        if (n < 0)
            return (errno == EAGAIN || errno == EINTR) ? aErrNotReady : aErrIO;
        if (n == 0)
            return aErrNotReady;
        port->inputCount = static_cast<size_t>(n);
        port->inputNext = 0;
    }
    *byte = port->input[port->inputNext++];
    return aErrNone;
}

uint32_t aSerialPort_WriteTimeoutMs(uint32_t baudIndex, size_t length)
{
    uint32_t rate = aSerialPort_BaudRate(baudIndex);
    if (rate == 0)
        rate = kRates[0];
    uint64_t lineMs = (static_cast<uint64_t>(length) * 10u * 1000u + rate - 1) / rate;  // 10 bits a byte
    uint64_t total = aSERIAL_WRITE_SLACK_MS + 2 * lineMs;
    return total > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(total);
}

aErr aSerialPort_Write(const uint8_t* bytes, size_t length, void* ref)
{
    SerialStreamData* port = _port(ref);
    if (!port || (!bytes && length))
        return aErrParam;
    // A peer that stops taking bytes (flow control, a full pseudo-terminal nobody reads)
    // would block a plain write for ever, and with it the link's writer and its stop.
    const uint64_t start = aTime_GetMSTicks();
    const uint32_t limit = aSerialPort_WriteTimeoutMs(port->baudIndex, length);
    size_t sent = 0;
    while (sent < length) {
        ssize_t n = write(port->fd, bytes + sent, length - sent);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return aErrIO;
        uint64_t elapsed = aTime_GetMSTicks() - start;
        if (elapsed >= limit)
            return aErrTimeout;
        struct pollfd fds = {port->fd, POLLOUT, 0};
        if (poll(&fds, 1, static_cast<int>(limit - elapsed)) < 0 && errno != EINTR)
            return aErrIO;
    }
    tcdrain(port->fd);  // without flow control this lasts at most the line time
    return aErrNone;
}

aErr aSerialPort_Put(const uint8_t* byte, void* ref)
{
    return aSerialPort_Write(byte, 1, ref);
}

aErr aSerialPort_Delete(void* ref)
{
    SerialStreamData* port = _port(ref);
    if (!port)
        return aErrParam;
    if (port->fd >= 0) {
        tcsetattr(port->fd, TCSANOW, &port->savedSettings);
        close(port->fd);
    }
    port->check = 0;
    delete port;
    return aErrNone;
}

aErr aSerialPort_Wait(void* ref, uint32_t timeoutMs)
{
    return aSerialPort_WaitOrWake(ref, timeoutMs, -1);
}

aErr aSerialPort_WaitOrWake(void* ref, uint32_t timeoutMs, int wakeFd)
{
    SerialStreamData* port = _port(ref);
    if (!port)
        return aErrParam;
    if (port->inputNext < port->inputCount)
        return aErrNone;
    struct pollfd fds[2] = {{port->fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    int n = poll(fds, 2, static_cast<int>(timeoutMs));
    if (n <= 0)
        return aErrTimeout;
    if (fds[1].revents & POLLIN)
        return aErrCancel;
    if (fds[0].revents & POLLIN)
        return aErrNone;
    // Hung up or failed with nothing to read: a read would only say "not ready", so
    // wait out the time-out (or a wake) rather than return at once and be called again.
    n = poll(&fds[1], 1, static_cast<int>(timeoutMs));
    return n > 0 ? aErrCancel : aErrTimeout;
}

int aSerialPort_Descriptor(const SerialStreamData* port)
{
    return (port && port->check == aSERIAL_CHECK) ? port->fd : -1;
}
