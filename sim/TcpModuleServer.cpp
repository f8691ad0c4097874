#include "sim/TcpModuleServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace Sim {

namespace {

// Closing with a zero linger time resets the connection, as a module that
// vanishes leaves the host's next send to a reset.
void _reset_close(int fd)
{
    linger l{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close(fd);
}

int _poll_timeout(Clock::time_point now, Clock::time_point deadline)
{
    if (deadline == Clock::time_point::max())
        return 1000;
    if (deadline <= now)
        return 0;
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
    return static_cast<int>(std::min<long long>(ms, 1000));
}

}  // namespace

TcpModuleServer::TcpModuleServer(std::shared_ptr<VirtualModule> module, std::string listenAddress, uint16_t port,
                                 std::string discoveryInterface)
    : _module(std::move(module)),
      _address(listenAddress.empty() ? (discoveryInterface.empty() ? "127.0.0.1" : discoveryInterface)
                                     : std::move(listenAddress)),
      _port(port),
      _discoveryInterface(std::move(discoveryInterface)),
      _link(_module)
{
}

TcpModuleServer::~TcpModuleServer()
{
    Stop();
}

void TcpModuleServer::SetTrace(std::function<void(const std::string&)> trace)
{
    _link.SetTrace(std::move(trace));
}

bool TcpModuleServer::_listen(std::string& error)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("socket: ") + strerror(errno);
        return false;
    }
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(_port.load());
    if (inet_pton(AF_INET, _address.c_str(), &a.sin_addr) != 1) {
        error = "not an IPv4 address: " + _address;
        close(fd);
        return false;
    }
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 4) != 0) {
        error = "cannot listen on " + _address + ":" + std::to_string(_port.load()) + ": " + strerror(errno);
        close(fd);
        return false;
    }
    socklen_t length = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    _port = ntohs(a.sin_port);
    _listener = fd;
    return true;
}

void TcpModuleServer::_close_listener()
{
    if (_listener >= 0)
        close(_listener);
    _listener = -1;
}

bool TcpModuleServer::Start(std::string& error)
{
    if (_running)
        return true;
    if (!_listen(error))
        return false;
    if (!_discoveryInterface.empty() && !_discovery.Open(_discoveryInterface, error)) {
        _close_listener();
        return false;
    }
    if (pipe2(_wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        error = std::string("pipe: ") + strerror(errno);
        _close_listener();
        _discovery.Close();
        return false;
    }
    _running = true;
    _thread = std::thread(&TcpModuleServer::_run, this);
    return true;
}

void TcpModuleServer::Stop()
{
    if (!_running.exchange(false))
        return;
    char b = 0;
    (void)!write(_wake[1], &b, 1);
    _thread.join();
    _close_client(false);
    _close_listener();
    _discovery.Close();
    close(_wake[0]);
    close(_wake[1]);
    _wake[0] = _wake[1] = -1;
}

void TcpModuleServer::_accept()
{
    int fd = accept4(_listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0)
        return;
    if (_client.load() >= 0) {  // one host at a time
        _reset_close(fd);
        return;
    }
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    timeval sendLimit{2, 0};  // a host that stops reading must not stall the module
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit);
    _client = fd;
    _link.Connected(Clock::now());
}

// A reset throws away what is still queued: let the last reply leave first.
void TcpModuleServer::_drain_client()
{
    int fd = _client.load();
    for (int i = 0; fd >= 0 && i < 100; ++i) {
        int queued = 0;
        if (ioctl(fd, SIOCOUTQ, &queued) != 0 || queued == 0)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void TcpModuleServer::_close_client(bool reset)
{
    int fd = _client.exchange(-1);
    if (fd < 0)
        return;
    if (reset)
        _reset_close(fd);
    else
        close(fd);
    _link.Disconnected();
}

bool TcpModuleServer::_send(const std::vector<uint8_t>& bytes)
{
    int fd = _client.load();
    if (fd < 0 || bytes.empty())
        return true;
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

void TcpModuleServer::_react(const ModuleByteLink::Output& output, Clock::time_point now)
{
    bool ok = _send(output.bytes);
    if (output.action != LinkAction::None) {
        // Away for a while: refuse connections from before the host sees the reset.
        if (!_module->Online(now))
            _close_listener();
        _drain_client();
        _close_client(true);
    } else if (!ok) {
        _close_client(true);
    }
}

void TcpModuleServer::_read_client(Clock::time_point now)
{
    struct Busy {
        std::atomic<uint64_t>& total;
        Clock::time_point start = Clock::now();
        ~Busy()
        {
            total += uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count());
        }
    } busy{_busyNs};
    uint8_t buffer[4096];
    ssize_t n = recv(_client.load(), buffer, sizeof buffer, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (n <= 0) {  // the host closed or reset its end
        _close_client(false);
        return;
    }
    _react(_link.FromHost(buffer, static_cast<size_t>(n), now), now);
}

void TcpModuleServer::_run()
{
    while (_running) {
        Clock::time_point now = Clock::now();
        bool online = _module->Online(now);
        if (online && _listener < 0) {
            std::string ignored;
            if (!_listen(ignored))
                online = false;  // try again shortly
        }
        pollfd fds[4];
        int n = 0;
        fds[n++] = {_wake[0], POLLIN, 0};
        int listenerAt = -1, clientAt = -1, discoveryAt = -1;
        if (_listener >= 0) {
            listenerAt = n;
            fds[n++] = {_listener, POLLIN, 0};
        }
        if (_client.load() >= 0) {
            clientAt = n;
            fds[n++] = {_client.load(), POLLIN, 0};
        }
        if (_discovery.Fd() >= 0) {
            discoveryAt = n;
            fds[n++] = {_discovery.Fd(), POLLIN, 0};
        }
        int timeout = online ? _poll_timeout(now, _module->NextDeadline()) : 50;
        if (poll(fds, n, timeout) < 0 && errno != EINTR)
            break;
        if (fds[0].revents)
            break;
        now = Clock::now();
        if (discoveryAt >= 0 && fds[discoveryAt].revents) {
            DiscoveryIdentity who{_module->SerialNumber(), _module->ModuleAddress(), _port, _module->Config().model};
            if (_discovery.HandleReadable(who, _module->Online(now)))
                ++_discoveryAnswers;
        }
        if (clientAt >= 0 && fds[clientAt].revents)
            _read_client(now);
        if (listenerAt >= 0 && _listener >= 0 && fds[listenerAt].revents)
            _accept();
        _react(_link.Tick(Clock::now()), Clock::now());
    }
}

}  // namespace Sim
