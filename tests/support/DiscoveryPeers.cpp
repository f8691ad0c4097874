#include "support/DiscoveryPeers.h"

#include <arpa/inet.h>
#include <czmq.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "common/discovery/aDiscovery.h"
#include "common/discovery/aMulticast.h"
#include "common/discovery/zBeaconInterface.h"

namespace testsupport {

std::vector<uint8_t> TcpipDiscoveryReply(uint8_t module, uint16_t port, uint32_t serial, uint8_t model)
{
    std::vector<uint8_t> reply(16, 0);
    reply[0] = 1;
    reply[1] = module;
    reply[2] = port & 0xFF;
    reply[3] = port >> 8;
    for (int i = 0; i < 4; ++i)
        reply[4 + i] = (serial >> (8 * i)) & 0xFF;
    reply[12] = model;
    return reply;
}

TcpipDiscoveryResponder::TcpipDiscoveryResponder(uint32_t interfaceAddress, std::vector<uint8_t> reply, int repeat,
                                                 int unanswered, int answered)
    : reply_(std::move(reply)), repeat_(repeat), unanswered_(unanswered), answered_(answered)
{
    int fd = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    int on = 1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(aDISCOVERY_TCPIP_REQUEST_PORT);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    ip_mreq membership{};
    inet_pton(AF_INET, aDISCOVERY_TCPIP_GROUP, &membership.imr_multiaddr);
    membership.imr_interface.s_addr = interfaceAddress;
    if (fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
        bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) == 0) {
        socket_ = fd;
        thread_ = std::thread(&TcpipDiscoveryResponder::run, this);
    } else if (fd >= 0) {
        close(fd);
    }
}

TcpipDiscoveryResponder::~TcpipDiscoveryResponder()
{
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    if (socket_ >= 0)
        close(socket_);
}

void TcpipDiscoveryResponder::run()
{
    while (!stop_) {
        pollfd ready{socket_, POLLIN, 0};
        if (poll(&ready, 1, 20) <= 0)
            continue;
        uint8_t request[64];
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        ssize_t length = recvfrom(socket_, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (length != 16 || request[0] != 1)
            continue;
        int n = ++requests_;
        if (n <= unanswered_ || (answered_ >= 0 && n > unanswered_ + answered_))
            continue;
        from.sin_port = htons(aDISCOVERY_TCPIP_REPLY_PORT);
        for (int i = 0; i < repeat_; ++i)
            sendto(socket_, reply_.data(), reply_.size(), 0, reinterpret_cast<sockaddr*>(&from), sizeof from);
    }
}

LocalServerPeer::LocalServerPeer(unsigned offset, const linkSpec& spec) : offset_(offset), spec_(spec)
{
    in_addr group;
    inet_pton(AF_INET, aDISCOVERY_LOCAL_GROUP, &group);
    receiver_ = aMulticast_Create(0, group.s_addr, aDISCOVERY_LOCAL_REQUEST_PORT + offset, false);
    sender_ = aMulticast_Create(0, group.s_addr, aDISCOVERY_LOCAL_REPLY_PORT + offset, true);
    ready_ = receiver_ && sender_;
    if (ready_)
        thread_ = std::thread(&LocalServerPeer::run, this);
}

LocalServerPeer::~LocalServerPeer()
{
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    aMulticast_Destroy(&sender_);
    aMulticast_Destroy(&receiver_);
}

void LocalServerPeer::run()
{
    while (!stop_) {
        uint32_t request = 0;
        if (aMulticast_Receive(receiver_, &request, sizeof request) != sizeof request ||
            request != aDISCOVERY_LOCAL_REQUEST)
            continue;
        ++requests_;
        aMulticast_Send(sender_, &spec_, sizeof spec_);
    }
}

BeaconPeer::BeaconPeer(const char* interface, const linkSpec& spec)
{
    if (!zBeaconInterface_backupSetAndLock(interface))
        return;
    zactor_t* beacon = zactor_new(zbeacon, nullptr);
    char* host = nullptr;
    if (beacon) {
        zsock_send(beacon, "si", "CONFIGURE", static_cast<int>(aDISCOVERY_BEACON_PORT));
        host = zstr_recv(beacon);
    }
    zBeaconInterface_restoreAndUnlock();
    if (!host || !*host) {
        zstr_free(&host);
        zactor_destroy(&beacon);
        return;
    }
    zstr_free(&host);
    zsock_send(beacon, "sbi", "PUBLISH", &spec, sizeof spec, 50);
    beacon_ = beacon;
}

BeaconPeer::~BeaconPeer()
{
    if (!beacon_)
        return;
    zstr_sendx(beacon_, "SILENCE", nullptr);
    zactor_destroy(&beacon_);
}

}  // namespace testsupport
