#include "common/discovery/aMulticast.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

struct MulticastEndpoint {
    addrinfo* group = nullptr;  // group address with the port
    addrinfo* bindAddress = nullptr;
    addrinfo* interface = nullptr;  // interface address with port 0
    int socket = -1;
    bool sender = false;
};

namespace {

constexpr uint32_t kLoopback = 0x0100007F;  // 127.0.0.1 in network byte order

addrinfo* _resolve(const char* host, uint16_t port, bool passive)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_protocol = IPPROTO_UDP;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | (passive ? AI_PASSIVE : 0);
    char service[8];
    snprintf(service, sizeof service, "%u", port);
    addrinfo* result = nullptr;
    if (getaddrinfo(host, service, &hints, &result) != 0)
        return nullptr;
    return result;
}

bool _configure(MulticastEndpoint* endpoint, in_addr interfaceAddress, in_addr groupAddress)
{
    int fd = endpoint->socket;
    int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
        return false;
    if (!endpoint->sender && bind(fd, endpoint->bindAddress->ai_addr, endpoint->bindAddress->ai_addrlen) != 0)
        return false;
    ip_mreq membership{};
    membership.imr_multiaddr = groupAddress;
    membership.imr_interface = interfaceAddress;
    if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0)
        return false;
    if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &interfaceAddress, sizeof interfaceAddress) != 0)
        return false;
    unsigned char ttl = 1;
    if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) != 0)
        return false;
    timeval timeout{1, 0};
    if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0)
        return false;
    unsigned char loop = 1;
    return setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) == 0;
}

}  // namespace

MulticastEndpoint* aMulticast_Create(uint32_t interfaceAddress, uint32_t groupAddress, uint16_t port, bool sender)
{
    in_addr interfaceIn{interfaceAddress ? interfaceAddress : kLoopback};
    in_addr groupIn{groupAddress};
    char interfaceText[INET_ADDRSTRLEN];
    char groupText[INET_ADDRSTRLEN];
    if (!inet_ntop(AF_INET, &interfaceIn, interfaceText, sizeof interfaceText) ||
        !inet_ntop(AF_INET, &groupIn, groupText, sizeof groupText))
        return nullptr;

    MulticastEndpoint* endpoint = new (std::nothrow) MulticastEndpoint;
    if (!endpoint)
        return nullptr;
    endpoint->sender = sender;
    endpoint->group = _resolve(groupText, port, false);
    endpoint->bindAddress = sender ? _resolve(interfaceText, 0, false) : _resolve(nullptr, port, true);
    endpoint->interface = _resolve(interfaceText, 0, false);
    if (endpoint->group && endpoint->bindAddress && endpoint->interface) {
        endpoint->socket = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
        if (endpoint->socket >= 0 && _configure(endpoint, interfaceIn, groupIn))
            return endpoint;
    }
    aMulticast_Destroy(&endpoint);
    return nullptr;
}

int aMulticast_Send(MulticastEndpoint* endpoint, const void* data, size_t length)
{
    if (!endpoint)
        return -2;
    if (!endpoint->sender)
        return -3;
    ssize_t sent = sendto(endpoint->socket, data, length, 0, endpoint->group->ai_addr, endpoint->group->ai_addrlen);
    return sent < 0 ? -1 : static_cast<int>(sent);
}

int aMulticast_Receive(MulticastEndpoint* endpoint, void* buffer, size_t size)
{
    if (!endpoint)
        return -2;
    if (endpoint->sender)
        return -3;
    ssize_t received;
    do {
        received = recv(endpoint->socket, buffer, size, 0);
    } while (received < 0 && errno == EINTR);
    return received < 0 ? -1 : static_cast<int>(received);
}

int aMulticast_Destroy(MulticastEndpoint** endpoint)
{
    if (!endpoint || !*endpoint)
        return -2;
    MulticastEndpoint* e = *endpoint;
    if (e->group)
        freeaddrinfo(e->group);
    if (e->bindAddress)
        freeaddrinfo(e->bindAddress);
    if (e->interface)
        freeaddrinfo(e->interface);
    if (e->socket >= 0)
        close(e->socket);
    delete e;
    *endpoint = nullptr;
    return 0;
}

bool aMulticast_IsPortFree(uint16_t port)
{
    int fd = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (fd < 0)
        return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    bool free = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return free;
}

int aMulticast_GetSocket(const MulticastEndpoint* endpoint)
{
    return endpoint ? endpoint->socket : -1;
}
