#include "sim/DiscoveryResponder.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace Sim {

void BuildDiscoveryReply(const DiscoveryIdentity& who, uint8_t reply[kDiscoveryDatagram])
{
    memset(reply, 0, kDiscoveryDatagram);
    reply[0] = 1;
    reply[1] = who.moduleAddress;
    reply[2] = static_cast<uint8_t>(who.tcpPort);
    reply[3] = static_cast<uint8_t>(who.tcpPort >> 8);
    for (int i = 0; i < 4; ++i)
        reply[4 + i] = static_cast<uint8_t>(who.serialNumber >> (8 * i));
    reply[12] = who.model;
}

namespace {

std::string _interface_of(const std::string& address)
{
    in_addr wanted;
    if (inet_pton(AF_INET, address.c_str(), &wanted) != 1)
        return "";
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return "";
    std::string name;
    for (ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET)
            continue;
        if (reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr == wanted.s_addr) {
            name = i->ifa_name;
            break;
        }
    }
    freeifaddrs(list);
    return name;
}

}  // namespace

bool OnDefaultRouteInterface(const std::string& address)
{
    std::string name = _interface_of(address);
    if (name.empty())
        return false;
    std::ifstream routes("/proc/net/route");
    std::string line;
    std::getline(routes, line);  // header
    while (std::getline(routes, line)) {
        std::istringstream fields(line);
        std::string iface, destination, gateway, flags, refcnt, use, metric, mask;
        if (!(fields >> iface >> destination >> gateway >> flags >> refcnt >> use >> metric >> mask))
            continue;
        if (destination == "00000000" && mask == "00000000" && iface == name)
            return true;
    }
    return false;
}

DiscoveryResponder::~DiscoveryResponder()
{
    Close();
}

void DiscoveryResponder::Close()
{
    if (_fd >= 0)
        close(_fd);
    if (_replyFd >= 0)
        close(_replyFd);
    _fd = _replyFd = -1;
}

bool DiscoveryResponder::Open(const std::string& interfaceAddress, std::string& error)
{
    Close();
    in_addr iface;
    if (inet_pton(AF_INET, interfaceAddress.c_str(), &iface) != 1) {
        error = "not an IPv4 address: " + interfaceAddress;
        return false;
    }
    if (_interface_of(interfaceAddress).empty()) {
        error = "no interface holds " + interfaceAddress;
        return false;
    }
    if (OnDefaultRouteInterface(interfaceAddress)) {
        error = interfaceAddress +
                " is on the interface of the default route; answer discovery only in a private "
                "network (scripts/netns-run)";
        return false;
    }
    auto fail = [&](const char* what) {
        error = std::string(what) + ": " + strerror(errno);
        Close();
        return false;
    };
    _fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (_fd < 0)
        return fail("discovery socket");
    int on = 1;
    if (setsockopt(_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
        return fail("SO_REUSEADDR");
    sockaddr_in bound{};
    bound.sin_family = AF_INET;
    bound.sin_port = htons(kDiscoveryRequestPort);
    inet_pton(AF_INET, kDiscoveryGroup, &bound.sin_addr);  // only the group's datagrams
    if (bind(_fd, reinterpret_cast<sockaddr*>(&bound), sizeof bound) != 0)
        return fail("bind to 232.2.2.2:9888");
    ip_mreq membership{};
    membership.imr_multiaddr = bound.sin_addr;
    membership.imr_interface = iface;
    if (setsockopt(_fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0)
        return fail("joining 232.2.2.2");
    int off = 0;
    setsockopt(_fd, IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof off);

    // Replies leave from the interface address, which the host then connects to.
    _replyFd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (_replyFd < 0)
        return fail("reply socket");
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr = iface;
    if (bind(_replyFd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0)
        return fail("bind reply socket");
    return true;
}

bool DiscoveryResponder::HandleReadable(const DiscoveryIdentity& who, bool answer)
{
    uint8_t request[64];
    sockaddr_in sender{};
    socklen_t senderLength = sizeof sender;
    ssize_t n =
        recvfrom(_fd, request, sizeof request, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&sender), &senderLength);
    if (n != static_cast<ssize_t>(kDiscoveryDatagram) || request[0] != 1 || !answer)
        return false;
    uint8_t reply[kDiscoveryDatagram];
    BuildDiscoveryReply(who, reply);
    sender.sin_port = htons(kDiscoveryReplyPort);
    if (sendto(_replyFd, reply, sizeof reply, 0, reinterpret_cast<sockaddr*>(&sender), sizeof sender) !=
        static_cast<ssize_t>(sizeof reply))
        return false;
    ++_answered;
    return true;
}

}  // namespace Sim
