#include "unix/aTcpSocket.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <new>
#include <shared_mutex>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "unix/aTime.h"

#define aSOCKET_CHECK 0xDEAD
#define aSOCKET_CONNECTED 0x1u

// The reader thread gets and the writer thread writes at the same time; either may find
// the connection gone and reconnect. The lock serialises reconnects; the generation tells
// a thread that another one has already reconnected since it saw the failure. The
// descriptor is used (recv, send, poll) under useLock shared and closed under it
// exclusive, so that one thread never closes it while the other still uses it (its
// number could already belong to a new socket).
struct SocketStreamData {
    uint16_t port;
    struct sockaddr_in address;
    std::atomic<int> fd{-1};
    std::atomic<uint32_t> flags{0};
    uint16_t check;
    std::mutex connectLock;
    std::shared_mutex useLock;  // taken after connectLock
    std::atomic<uint64_t> generation{0};
    // Received bytes not yet handed out; used by the reading side only, but the counts
    // are also looked at by a wait on another thread (a link's reader thread waits while
    // a caller reads).
    uint8_t input[512];
    std::atomic<size_t> inputCount{0};
    std::atomic<size_t> inputNext{0};
};

namespace {

const char* const kSource = "common/aStreamsocket";
std::atomic<aTcpSocketReportProc> _reporter{nullptr};

void _report(int line, const char* description, int error)
{
    aTcpSocketReportProc proc = _reporter.load();
    if (proc)
        proc(kSource, line, description, error);
}

SocketStreamData* _socket(void* ref)
{
    auto* s = static_cast<SocketStreamData*>(ref);
    return (s && s->check == aSOCKET_CHECK) ? s : nullptr;
}

bool _connected(const SocketStreamData* s)
{
    return (s->flags.load() & aSOCKET_CONNECTED) != 0;
}

// Callers hold connectLock.
void _close(SocketStreamData* s)
{
    s->flags &= ~aSOCKET_CONNECTED;
    int fd, error = 0;
    {
        std::unique_lock<std::shared_mutex> use(s->useLock);
        fd = s->fd.exchange(-1);
        if (fd >= 0 && close(fd) != 0)
            error = errno;
    }
    if (fd >= 0) {
        if (error)
            _report(__LINE__, "close failed", error);
        aTime_MSSleep(10);
    }
}

bool _quietConnectError(int error)
{
    return error == EWOULDBLOCK || error == EAGAIN || error == ECONNRESET || error == ETIMEDOUT ||
           error == ECONNREFUSED || error == EINPROGRESS || error == ENETUNREACH || error == EHOSTUNREACH;
}

// Connects within the time limit; the socket stays non-blocking from here on.
aErr _connectSocket(int fd, const struct sockaddr_in& address)
{
    int on = 1;
    if (ioctl(fd, FIONBIO, &on) != 0) {
        _report(__LINE__, "unable to ioctl socket for non-blocking", errno);
        return aErrIO;
    }
    int result = connect(fd, reinterpret_cast<const struct sockaddr*>(&address), sizeof address);
    int error = (result == 0) ? 0 : errno;
    if (error == EINPROGRESS) {
        struct pollfd fds = {fd, POLLOUT, 0};
        int n = poll(&fds, 1, static_cast<int>(aTCPSOCKET_CONNECT_TIMEOUT_MS));
        socklen_t length = sizeof error;
        if (n == 0)
            error = ETIMEDOUT;
        else if (n < 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
            error = errno;
    }
    if (error == 0)
        return aErrNone;
    if (_quietConnectError(error))
        return aErrConnection;
    _report(__LINE__, "Unhandled socket connect error", error);
    return aErrIO;
}

aErr _setOptions(int fd)
{
    int on = 1;
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) {
        int error = errno;
        char text[128];
        const struct protoent* tcp = getprotobyname("TCP");
        std::snprintf(text, sizeof text, "setsockopt TCP_NODELAY failed: socket = %d, level = %d errno = %d", fd,
                      tcp ? tcp->p_proto : IPPROTO_TCP, error);
        _report(__LINE__, text, error);
        return aErrIO;
    }
    struct timeval none = {0, 0};
    if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof none) != 0) {
        _report(__LINE__, "setsockopt SO_RCVTIMEO failed", errno);
        return aErrIO;
    }
    struct linger hardClose = {1, 0};  // close resets the connection at once
    if (setsockopt(fd, SOL_SOCKET, SO_LINGER, &hardClose, sizeof hardClose) != 0) {
        _report(__LINE__, "setsockopt SO_LINGER failed", errno);
        return aErrIO;
    }
    return aErrNone;
}

// Callers hold connectLock.
aErr _connect(SocketStreamData* s)
{
    _close(s);
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        _report(__LINE__, "creating socket", errno);
        return aErrIO;
    }
    aErr err = _connectSocket(fd, s->address);
    if (err == aErrNone)
        err = _setOptions(fd);
    if (err != aErrNone) {
        close(fd);
        return err;
    }
    s->fd = fd;
    s->flags |= aSOCKET_CONNECTED;
    s->generation++;
    return aErrNone;
}

// Reconnects unless another thread already has since `seen`.
aErr _reconnect(SocketStreamData* s, uint64_t seen)
{
    std::lock_guard<std::mutex> lock(s->connectLock);
    if (s->generation.load() != seen && _connected(s))
        return aErrNone;
    return _connect(s);
}

bool _connectionLost(int error)
{
    return error == ECONNRESET || error == ENOTCONN || error == ETIMEDOUT || error == EPIPE;
}

}  // namespace

void aTcpSocket_SetReporter(aTcpSocketReportProc proc)
{
    _reporter = proc;
}

aErr aTcpSocket_Open(uint32_t address, uint16_t port, SocketStreamData** out)
{
    if (out == nullptr)
        return aErrParam;
    *out = nullptr;
    auto* s = new (std::nothrow) SocketStreamData;
    if (!s)
        return aErrResource;
    s->check = aSOCKET_CHECK;
    s->port = port;
    std::memset(&s->address, 0, sizeof s->address);
    s->address.sin_family = AF_INET;
    s->address.sin_port = htons(port);
    s->address.sin_addr.s_addr = address;
    aErr err;
    {
        std::lock_guard<std::mutex> lock(s->connectLock);
        err = _connect(s);
    }
    if (err != aErrNone) {
        aTcpSocket_Delete(s);
        return aErrResource;
    }
    *out = s;
    return aErrNone;
}

aErr aTcpSocket_Get(uint8_t* byte, void* ref)
{
    SocketStreamData* s = _socket(ref);
    if (!s || !byte)
        return aErrParam;
    size_t next = s->inputNext.load(std::memory_order_relaxed);
    if (next < s->inputCount.load(std::memory_order_relaxed)) {
        *byte = s->input[next];
        s->inputNext.store(next + 1, std::memory_order_relaxed);
        return aErrNone;
    }
    uint64_t seen = s->generation.load();
    // A dropped connection is taken up again here, so that a link whose peer went away
    // recovers when the peer is back (each failed attempt reports aErrConnection).
    if (!_connected(s))
        return _reconnect(s, seen) == aErrNone ? aErrNotReady : aErrConnection;
    ssize_t n;
    int error;
    {
        std::shared_lock<std::shared_mutex> use(s->useLock);
        n = recv(s->fd.load(), s->input, sizeof s->input, MSG_DONTWAIT);
        error = (n == 0) ? ECONNRESET : errno;  // 0: the peer closed its end
    }
    if (n > 0) {
        s->inputNext.store(1, std::memory_order_relaxed);
        s->inputCount.store(static_cast<size_t>(n), std::memory_order_relaxed);
        *byte = s->input[0];
        return aErrNone;
    }
    if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR)
        return aErrNotReady;
    if (_connectionLost(error)) {
        {
            std::lock_guard<std::mutex> lock(s->connectLock);
            if (s->generation.load() == seen)
                _close(s);
        }
        return aErrConnection;
    }
    _report(__LINE__, "Unhandled socket err on recv peek", error);
    return aErrConnection;
}

aErr aTcpSocket_Write(const uint8_t* bytes, size_t length, void* ref)
{
    SocketStreamData* s = _socket(ref);
    if (!s || (!bytes && length))
        return aErrParam;
    if (!_connected(s))
        return aErrConnection;
    size_t sent = 0;
    uint32_t attempts = 0;
    while (sent < length) {
        uint64_t seen = s->generation.load();
        ssize_t n;
        int sendError;
        {
            std::shared_lock<std::shared_mutex> use(s->useLock);
            n = send(s->fd.load(), bytes + sent, length - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            sendError = errno;
        }
        if (n > 0) {
            sent += static_cast<size_t>(n);
            attempts = 1;
            if (sent == length)
                break;
        } else {
            int error = (n == 0) ? EAGAIN : sendError;
            if (error == EINTR)
                continue;
            if (error == EAGAIN || error == EWOULDBLOCK) {
                attempts++;
            } else if (_connectionLost(error) || error == EBADF) {
                // A reconnect uses one attempt; one that fails ends the write, since each try
                // may take the whole connect time-out.
                attempts++;
                if (_reconnect(s, seen) != aErrNone)
                    return aErrConnection;
            } else {
                _report(__LINE__, "Unhandled error occured on socket send", error);
                return aErrIO;
            }
        }
        if (attempts >= aTCPSOCKET_WRITE_ATTEMPTS)
            return _connected(s) ? aErrTimeout : aErrConnection;
        aTime_MSSleep(aTCPSOCKET_WRITE_PAUSE_MS);
    }
    return aErrNone;
}

aErr aTcpSocket_Put(const uint8_t* byte, void* ref)
{
    return aTcpSocket_Write(byte, 1, ref);
}

aErr aTcpSocket_Delete(void* ref)
{
    SocketStreamData* s = _socket(ref);
    if (!s)
        return aErrParam;
    {
        std::lock_guard<std::mutex> lock(s->connectLock);
        std::unique_lock<std::shared_mutex> use(s->useLock);
        int fd = s->fd.exchange(-1);
        if (fd >= 0)
            close(fd);
    }
    s->check = 0;
    delete s;
    return aErrNone;
}

aErr aTcpSocket_WaitOrWake(void* ref, uint32_t timeoutMs, int wakeFd)
{
    SocketStreamData* s = _socket(ref);
    if (!s)
        return aErrParam;
    if (s->inputNext < s->inputCount)
        return aErrNone;
    // Without a connection only a wake can end the wait early: the next get reconnects.
    struct pollfd fds[2] = {{wakeFd, POLLIN, 0}, {-1, POLLIN, 0}};
    std::shared_lock<std::shared_mutex> use(s->useLock);
    fds[1].fd = s->fd.load();
    int n = poll(fds, 2, static_cast<int>(timeoutMs));
    if (n > 0 && (fds[0].revents & POLLIN))
        return aErrCancel;
    return n > 0 && fds[1].fd >= 0 ? aErrNone : aErrTimeout;
}

aErr aTcpSocket_Wait(void* ref, uint32_t timeoutMs)
{
    SocketStreamData* s = _socket(ref);
    if (!s)
        return aErrParam;
    if (s->inputNext < s->inputCount)
        return aErrNone;
    int n = 0;
    bool open = false;
    {
        std::shared_lock<std::shared_mutex> use(s->useLock);
        int fd = s->fd.load();
        if (fd >= 0) {
            open = true;
            struct pollfd fds = {fd, POLLIN, 0};
            n = poll(&fds, 1, static_cast<int>(timeoutMs));
        }
    }
    if (!open) {
        aTime_MSSleep(timeoutMs);  // nothing to wait on until the next get reconnects
        return aErrTimeout;
    }
    return n > 0 ? aErrNone : aErrTimeout;
}
