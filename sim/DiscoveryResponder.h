#pragma once
// The module's half of direct TCP/IP discovery: it joins the group 232.2.2.2
// on one interface address, takes 16-byte requests (first byte 1) on UDP port
// 9888 and answers each with a 16-byte reply to the sender's address, port
// 9889:
//   byte 0      1
//   byte 1      module address
//   bytes 2-3   TCP port, little-endian
//   bytes 4-7   serial number, little-endian
//   byte 12     model
//   other bytes 0
// It only ever sends that unicast reply. Joining a group does announce the
// membership on the interface, so it is meant for private networks
// (network namespaces); Open refuses the interface of the default route.
#include <cstdint>
#include <string>

namespace Sim {

constexpr const char* kDiscoveryGroup = "232.2.2.2";
constexpr uint16_t kDiscoveryRequestPort = 9888;
constexpr uint16_t kDiscoveryReplyPort = 9889;
constexpr size_t kDiscoveryDatagram = 16;

struct DiscoveryIdentity {
    uint32_t serialNumber = 0;
    uint8_t moduleAddress = 0;
    uint16_t tcpPort = 0;
    uint8_t model = 0;
};

// The 16-byte reply for this module.
void BuildDiscoveryReply(const DiscoveryIdentity& who, uint8_t reply[kDiscoveryDatagram]);

class DiscoveryResponder {
public:
    DiscoveryResponder() = default;
    ~DiscoveryResponder();
    DiscoveryResponder(const DiscoveryResponder&) = delete;
    DiscoveryResponder& operator=(const DiscoveryResponder&) = delete;

    // Joins the group on the interface that holds this IPv4 address.
    bool Open(const std::string& interfaceAddress, std::string& error);
    void Close();
    int Fd() const { return _fd; }
    // Reads one datagram; answers it when `answer` is set and it is a request.
    // Returns true when a reply went out.
    bool HandleReadable(const DiscoveryIdentity& who, bool answer);
    uint64_t Answered() const { return _answered; }

private:
    int _fd = -1;
    int _replyFd = -1;
    uint64_t _answered = 0;
};

// Whether this IPv4 address sits on the interface of a default route (a
// network that leads off the machine). False when there is no default route.
bool OnDefaultRouteInterface(const std::string& address);

}  // namespace Sim
