#pragma once
// Test peers that answer the host's discovery requests the way modules and
// module servers do. Run them only inside a private network namespace
// (support/PrivateNetwork.h).
#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "common/aLinkSpec.h"

struct _zactor_t;
struct MulticastEndpoint;

namespace testsupport {

// Answers direct TCP/IP discovery requests (232.2.2.2:9888 joined on the given
// interface) with the given reply, sent to the requester's port 9889, `repeat`
// times per request. The first `unanswered` requests get no reply (a module
// that is still restarting); with `answered` >= 0 only that many requests after
// them get one (a module that no longer answers discovery).
class TcpipDiscoveryResponder {
public:
    TcpipDiscoveryResponder(uint32_t interfaceAddress, std::vector<uint8_t> reply, int repeat = 1, int unanswered = 0,
                            int answered = -1);
    ~TcpipDiscoveryResponder();
    bool ready() const { return socket_ >= 0; }
    int requests() const { return requests_; }

private:
    void run();
    int socket_ = -1;
    std::vector<uint8_t> reply_;
    int repeat_;
    int unanswered_;
    int answered_;
    std::atomic<bool> stop_{false};
    std::atomic<int> requests_{0};
    std::thread thread_;
};

// A 16-byte direct discovery reply: module address, port and serial number
// little-endian, model at byte 12.
std::vector<uint8_t> TcpipDiscoveryReply(uint8_t module, uint16_t port, uint32_t serial, uint8_t model);

// A local module server's discovery side: joined to 224.0.0.7 on 127.0.0.1 at
// request port 9850 + offset, it answers each 4-byte request with the spec on
// reply port 9950 + offset.
class LocalServerPeer {
public:
    LocalServerPeer(unsigned offset, const linkSpec& spec);
    ~LocalServerPeer();
    bool ready() const { return ready_; }
    int requests() const { return requests_; }

private:
    void run();
    unsigned offset_;
    linkSpec spec_;
    bool ready_ = false;
    MulticastEndpoint* receiver_ = nullptr;
    MulticastEndpoint* sender_ = nullptr;
    std::atomic<bool> stop_{false};
    std::atomic<int> requests_{0};
    std::thread thread_;
};

// A remote module server's beacon: publishes the spec as a 128-byte beacon on
// UDP 8585 from the given interface every 50 ms.
class BeaconPeer {
public:
    BeaconPeer(const char* interface, const linkSpec& spec);
    ~BeaconPeer();
    bool ready() const { return beacon_ != nullptr; }

private:
    _zactor_t* beacon_ = nullptr;
};

}  // namespace testsupport
