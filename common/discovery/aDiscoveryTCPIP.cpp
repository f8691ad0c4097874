// Direct TCP/IP discovery: modules with their own network interface answer a
// 16-byte multicast request on 232.2.2.2:9888 with a 16-byte reply to the
// requester's port 9889.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "common/discovery/aDiscovery.h"
#include "common/discovery/aDiscoverySeen.h"
#include "unix/aFileLock.h"

namespace {

constexpr uint32_t kLoopback = 0x0100007F;  // 127.0.0.1 in network byte order
constexpr int kReplyWaitSeconds = 2;
// Until a module answers, the request goes out again this often within the
// window: a module that was away (restarting) when the first request went out
// answers moments after it is back, not only on the next enumeration.
constexpr std::chrono::milliseconds kResendInterval{200};
constexpr std::chrono::seconds kLongestWindow{30};
// A reply must reach the serial number (bytes 4 to 7); the model (byte 12) is
// optional.
constexpr size_t kShortestReply = 8;
constexpr size_t kModelOffset = 12;

int _open_listener(uint32_t networkInterface)
{
    int fd = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (fd < 0) {
        perror("Failed to create listener socket");
        return -1;
    }
    int on = 1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(aDISCOVERY_TCPIP_REPLY_PORT);
    address.sin_addr.s_addr = networkInterface ? networkInterface : htonl(INADDR_ANY);
    timeval timeout{kReplyWaitSeconds, 0};
    const char* failure = nullptr;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
        failure = "Failed to setup address for re-use";
    else if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        failure = "Failed to bind to listener socket";
    else if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0)
        failure = "Failed to set timeout";
    if (!failure)
        return fd;
    perror(failure);
    if (close(fd) != 0)
        perror("Failed to close socket");
    return -1;
}

// Sends the request from one interface; false when it did not go out.
bool _send_request(uint32_t fromAddress)
{
    int fd = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (fd < 0)
        return false;
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    in_addr from{fromAddress};
    bool sent = false;
    if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &from, sizeof from) != 0) {
        perror("Failed to set the local interface for multicast");
    } else {
        uint8_t request[aDISCOVERY_TCPIP_MESSAGE_SIZE] = {1};
        sockaddr_in group{};
        group.sin_family = AF_INET;
        group.sin_port = htons(aDISCOVERY_TCPIP_REQUEST_PORT);
        inet_pton(AF_INET, aDISCOVERY_TCPIP_GROUP, &group.sin_addr);
        sent = sendto(fd, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&group), sizeof group) ==
               static_cast<ssize_t>(sizeof request);
        if (!sent)
            perror("Failed to multicast discovery package");
    }
    close(fd);
    return sent;
}

// Sends one request per usable interface; returns how many went out.
unsigned _send_requests(uint32_t networkInterface)
{
    if (networkInterface)
        return _send_request(networkInterface) ? 1 : 0;
    uint32_t interfaces[aDISCOVERY_MAX_INTERFACES];
    size_t count = aDiscovery_GetIPv4Interfaces(interfaces, aDISCOVERY_MAX_INTERFACES);
    if (count == 0)
        return _send_request(htonl(INADDR_ANY)) ? 1 : 0;
    unsigned sent = 0;
    for (size_t i = 0; i < count; ++i)
        if (interfaces[i] != 0 && interfaces[i] != kLoopback && _send_request(interfaces[i]))
            ++sent;
    return sent;
}

uint32_t _little_endian32(const uint8_t* bytes)
{
    return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

// The reply window: it ends kReplyWaitSeconds after the last module heard of
// for the first time (after the start while none came). Until the callback has
// counted a module the request is repeated: a module that is back from a
// restart answers the next one even while others have answered already. So
// repeated answers, which the repeated requests bring, do not extend it.
class ReplyWindow {
public:
    using Clock = std::chrono::steady_clock;

    // Milliseconds until the window ends or the next request is due; -1 when
    // the window has ended.
    int msToNextEvent() const
    {
        Clock::time_point now = Clock::now();
        if (now >= end_)
            return -1;
        Clock::time_point next = (!answered_ && nextResend_ < end_) ? nextResend_ : end_;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count();
        return left > 0 ? static_cast<int>(left) : 0;
    }
    // True (and the next one scheduled) when the request is to go out again.
    bool resendDue()
    {
        if (answered_ || Clock::now() < nextResend_)
            return false;
        nextResend_ += kResendInterval;
        return true;
    }
    // Each new module extends the window, but never past kLongestWindow from its start:
    // peers that keep coming must not keep discovery (and the reply port) for ever.
    void heard() { end_ = std::min(Clock::now() + std::chrono::seconds(kReplyWaitSeconds), start_ + kLongestWindow); }
    void answered() { answered_ = true; }

private:
    Clock::time_point start_ = Clock::now();
    Clock::time_point end_ = start_ + std::chrono::seconds(kReplyWaitSeconds);
    Clock::time_point nextResend_ = Clock::now() + kResendInterval;
    bool answered_ = false;
};

uint8_t _enumerate(aDiscoveryCallback callback, void* ref, uint32_t networkInterface);

}  // namespace

bool aDiscovery_SpecFromTCPIPReply(const uint8_t* reply, size_t length, uint32_t sender, linkSpec* spec)
{
    if (!reply || !spec || length < kShortestReply || length > aDISCOVERY_TCPIP_MESSAGE_SIZE)
        return false;
    *spec = linkSpec{};
    spec->type = TCPIP;
    spec->serialNumber = _little_endian32(reply + 4);
    spec->routerSerialNumber = spec->serialNumber;
    spec->module = reply[1];
    spec->router = reply[1];
    spec->model = length > kModelOffset ? reply[kModelOffset] : 0xFF;
    spec->ipAddress = sender;
    spec->ipPort = static_cast<uint16_t>(reply[2] | reply[3] << 8);
    return true;
}

const char* aDiscovery_LockPath()
{
    const char* path = std::getenv(aDISCOVERY_LOCK_VARIABLE);
    return path && *path ? path : aDISCOVERY_LOCK_PATH;
}

uint8_t aDiscovery_EnumerateTCPIP(aDiscoveryCallback callback, void* ref, uint32_t networkInterface)
{
    // Without the lock (held too long by another, or no file to lock) discovery still
    // runs: it may then miss replies, as it would without any lock.
    int lock = -1;
    aFileLock_Acquire(aDiscovery_LockPath(), aDISCOVERY_LOCK_WAIT_MS, &lock);
    uint8_t found = _enumerate(callback, ref, networkInterface);
    aFileLock_Release(&lock);
    return found;
}

namespace {

// One reply window: listener open, requests out, replies until the window ends or the
// callback stops.
uint8_t _enumerate(aDiscoveryCallback callback, void* ref, uint32_t networkInterface)
{
    if (networkInterface == kLoopback)
        networkInterface = 0;
    int listener = _open_listener(networkInterface);
    unsigned requests = _send_requests(networkInterface);
    if (listener < 0 || requests == 0) {
        if (listener >= 0)
            close(listener);
        return 0;
    }

    aDiscoverySeen seen;
    ReplyWindow window;
    unsigned found = 0;
    bool go = true;
    while (go) {
        int wait = window.msToNextEvent();
        if (wait < 0)
            break;
        pollfd ready{listener, POLLIN, 0};
        int n = poll(&ready, 1, wait);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            break;
        if (n == 0) {
            if (window.resendDue())
                _send_requests(networkInterface);
            continue;
        }
        uint8_t reply[64];
        sockaddr_in sender{};
        socklen_t senderLength = sizeof sender;
        ssize_t length =
            recvfrom(listener, reply, sizeof reply, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&sender), &senderLength);
        if (length < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        if (length < 0)
            break;
        linkSpec spec;
        if (!aDiscovery_SpecFromTCPIPReply(reply, static_cast<size_t>(length), sender.sin_addr.s_addr, &spec))
            continue;
        if (!seen.isNew(spec))
            continue;
        window.heard();
        bool counted = false;
        go = callback(&spec, &counted, ref);
        if (counted) {
            ++found;
            window.answered();
        }
    }
    if (close(listener) != 0)
        perror("Failed to close socket");
    return found > 255 ? 255 : static_cast<uint8_t>(found);
}

}  // namespace
