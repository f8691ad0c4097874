#pragma once
// A stand-in for a module at the far end of a link, for engine tests: it answers magic
// packets with an empty packet from its address, echoes other packets (optionally), and
// records what the host sent. It serves over loopback TCP (one connection at a time) or
// over a pseudo-terminal in packetized serial framing (COBS frames with a CRC-8).

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/PtyPair.h"
#include "support/TcpListener.h"

// One packet (address and payload) as it travels in packetized serial framing: COBS over
// the packet and its CRC-8, ended by a 0 byte.
std::vector<uint8_t> SerialFrame(const std::vector<uint8_t>& wire);

class ModulePeer {
public:
    using Bytes = std::vector<uint8_t>;
    struct Packet {
        uint8_t address;
        Bytes payload;
    };
    // Wire bytes to answer the n-th magic packet with (counting from 0); empty: no answer.
    using MagicReply = std::function<Bytes(size_t n)>;

    static std::unique_ptr<ModulePeer> overTcp(uint8_t address);
    static std::unique_ptr<ModulePeer> overPty(uint8_t address);
    ~ModulePeer();

    uint16_t port() const { return listener_ ? listener_->port() : 0; }
    std::string slavePath() const { return pty_ ? pty_->slavePath() : std::string(); }
    uint8_t address() const { return address_; }

    void setEcho(bool echo) { echo_ = echo; }
    void setMagicReply(MagicReply reply);
    // Sends bytes to the host: as they are over TCP, as one frame over the pty.
    void send(const Bytes& wire);
    void sendPacket(uint8_t address, const Bytes& payload);
    // Sends bytes to the line exactly as given (no framing).
    void sendRaw(const Bytes& bytes) { writeLine(bytes); }

    std::vector<Packet> received();
    size_t magicCount();
    // Waits until the packets received so far satisfy the test; false after timeoutMs.
    bool waitFor(const std::function<bool(const std::vector<Packet>&)>& test, int timeoutMs);
    // Waits until more than n magic packets have come.
    bool waitMagicAbove(size_t n, int timeoutMs);
    // Waits for a connection from the host (TCP only).
    bool waitConnected(int timeoutMs);

    // TCP only: the device goes away (connection and listener closed) and comes back.
    // Both are carried out by the peer's thread; they return once done.
    void vanish();
    bool comeBack();

private:
    ModulePeer(uint8_t address) : address_(address) {}
    void run();
    void serveRequests();
    enum class Request { none, vanish, comeBack };
    bool request(Request r);
    void receiveBytes(const uint8_t* bytes, size_t length);
    void receiveWire(const Bytes& wire);
    void handlePacket(const Packet& packet);
    void writeLine(const Bytes& bytes);

    uint8_t address_;
    std::unique_ptr<TcpListener> listener_;
    std::unique_ptr<PtyPair> pty_;
    std::atomic<int> connection_{-1};
    std::atomic<bool> stop_{false};
    std::atomic<bool> echo_{true};
    std::mutex mutex_;  // guards what follows
    std::condition_variable changed_;
    std::vector<Packet> received_;
    size_t magicCount_ = 0;
    MagicReply magicReply_;
    Bytes partial_;                    // peer thread only: bytes of an unfinished packet or frame
    Request request_ = Request::none;  // guarded by mutex_
    bool requestResult_ = false;
    std::mutex writeMutex_;
    std::thread thread_;
};
