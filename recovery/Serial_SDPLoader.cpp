#include "recovery/Serial_SDPLoader.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "common/Log.h"

struct PrivateSerial_SDPLoader {
    int fd = -1;
    std::string portName;  // a copy: the caller's text need not outlive the loader
    struct termios settings {};
    size_t inFlight = 0;  // bytes written since the last waiting read
};

namespace {

using Clock = std::chrono::steady_clock;

// Waits for `events` on the port; true when it came before the time-out.
bool _wait(int fd, short events, int timeoutMs)
{
    struct pollfd p = {fd, events, 0};
    int ready;
    do {
        ready = poll(&p, 1, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    return ready > 0;
}

// Discards what arrives until the line has been quiet a while: noise of a
// line that just came up, the tail of an earlier conversation.
void _settle(int fd)
{
    auto end = Clock::now() + std::chrono::milliseconds(Serial_SDPLoader::SETTLE_MS);
    uint8_t discard[256];
    while (_wait(fd, POLLIN, std::min(Serial_SDPLoader::SETTLE_QUIET_MS, Serial_SDPLoader::_remainingMs(end)))) {
        if (read(fd, discard, sizeof discard) <= 0 && errno != EAGAIN && errno != EINTR)
            return;
        if (Clock::now() >= end)
            return;
    }
}

// How long `bytes` take on the line, rounded up.
int _lineMs(size_t bytes)
{
    return static_cast<int>(std::min<size_t>(bytes * 10 * 1000 / Serial_SDPLoader::BAUD + 1, 60000));
}

}  // namespace

Serial_SDPLoader::Serial_SDPLoader(const std::string& portName) : _private(std::make_unique<PrivateSerial_SDPLoader>())
{
    _private->portName = portName;
}

Serial_SDPLoader::~Serial_SDPLoader()
{
    if (_private->fd < 0)
        return;
    tcflush(_private->fd, TCIOFLUSH);
    close(_private->fd);
}

bool Serial_SDPLoader::init()
{
    if (_private->fd >= 0)
        return true;
    int fd = open(_private->portName.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return false;
    if (!isatty(fd)) {
        close(fd);
        return false;
    }
    struct termios& settings = _private->settings;
    settings = {};
    settings.c_cflag = CS8 | CREAD | CLOCAL;
    cfsetispeed(&settings, B115200);
    cfsetospeed(&settings, B115200);
    if (tcsetattr(fd, TCSAFLUSH, &settings) != 0) {
        close(fd);
        return false;
    }
    _settle(fd);
    tcflush(fd, TCIOFLUSH);
    _private->fd = fd;
    return true;
}

// Writes the packet without its report id. A line that takes nothing for
// WRITE_STALL_MS gives the packet up (-1): the ROM is gone or stuck.
ssize_t Serial_SDPLoader::writeData(const std::vector<uint8_t>& packet)
{
    int fd = _private->fd;
    if (fd < 0 || packet.empty())
        return -1;
    const uint8_t* bytes = packet.data() + 1;
    size_t length = packet.size() - 1;
    size_t done = 0;
    auto stallEnd = Clock::now() + std::chrono::milliseconds(WRITE_STALL_MS);
    while (done < length) {
        ssize_t n = write(fd, bytes + done, length - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            _private->inFlight += static_cast<size_t>(n);
            stallEnd = Clock::now() + std::chrono::milliseconds(WRITE_STALL_MS);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            Log::log(DEBUG_iMXSerial, "bytesWritten: %zu\n", done);
            return -1;
        }
        if (Clock::now() >= stallEnd) {
            Log::log(DEBUG_iMXSerial, "bytesWritten: %zu\n", done);
            return -1;
        }
        _wait(fd, POLLOUT, _remainingMs(stallEnd));
    }
    Log::log(DEBUG_iMXSerial, "bytesWritten: %zu\n", done);
    return static_cast<ssize_t>(done);
}

// Waits up to timeoutMs for a full response and takes what is there with it.
// Bytes already there are taken without waiting; the wait ends once a full
// response is in (more than that stays for the next read, which then sees a
// ROM that said more than it was asked). The ROM cannot answer before the bytes written since
// the last wait have crossed the line, so their line time is added to the wait.
ssize_t Serial_SDPLoader::readData(std::vector<uint8_t>& out, int timeoutMs)
{
    int fd = _private->fd;
    if (fd < 0)
        return -1;
    int wait = std::max(0, timeoutMs);
    if (wait > 0) {
        wait += _lineMs(_private->inFlight);
        _private->inFlight = 0;
    }
    auto deadline = Clock::now() + std::chrono::milliseconds(wait);
    size_t total = 0;
    uint8_t block[256];
    while (total < READ_LIMIT) {
        int wait = total >= RESPONSE_SIZE ? 0 : _remainingMs(deadline);
        if (!_wait(fd, POLLIN, wait))
            break;
        ssize_t n = read(fd, block, std::min(sizeof block, READ_LIMIT - total));
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (n <= 0)
            break;
        out.insert(out.end(), block, block + n);
        total += static_cast<size_t>(n);
    }
    if (total)
        Log::log(DEBUG_iMXSerial, "Data Read: \n");
    return static_cast<ssize_t>(total);
}

bool Serial_SDPLoader::getDataFromBuffer(const std::vector<uint8_t>& bytes, size_t offset, uint32_t& value)
{
    // The word must lie wholly inside what was collected.
    if (offset > 15 || bytes.size() < offset + RESPONSE_SIZE)
        return false;
    const size_t at = offset + 4;
    value |= _wordAt(bytes, at);
    return true;
}
