#include "support/FdIo.h"

#include <cerrno>
#include <chrono>
#include <poll.h>
#include <unistd.h>

namespace fdio {

bool writeAll(int fd, const uint8_t* bytes, size_t length)
{
    while (length > 0) {
        ssize_t n = ::write(fd, bytes, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN) {
            struct pollfd p = {fd, POLLOUT, 0};
            poll(&p, 1, 100);
            continue;
        }
        if (n <= 0)
            return false;
        bytes += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

bool waitReadable(int fd, int timeoutMs)
{
    struct pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, timeoutMs) > 0 && (p.revents & POLLIN);
}

std::vector<uint8_t> readFor(int fd, size_t max, int timeoutMs)
{
    using Clock = std::chrono::steady_clock;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::vector<uint8_t> out;
    while (out.size() < max) {
        int left =
            static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
        if (left < 0 || !waitReadable(fd, left))
            break;
        uint8_t buffer[4096];
        size_t want = max - out.size() < sizeof buffer ? max - out.size() : sizeof buffer;
        ssize_t n = ::read(fd, buffer, want);
        if (n <= 0)
            break;
        out.insert(out.end(), buffer, buffer + n);
    }
    return out;
}

}  // namespace fdio
