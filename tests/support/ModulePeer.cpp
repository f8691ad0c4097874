#include "support/ModulePeer.h"

#include <poll.h>
#include <unistd.h>

#include <chrono>

#include "common/cobs.h"
#include "common/crc8.h"
#include "support/FdIo.h"

std::unique_ptr<ModulePeer> ModulePeer::overTcp(uint8_t address)
{
    std::unique_ptr<ModulePeer> peer(new ModulePeer(address));
    peer->listener_ = std::make_unique<TcpListener>();
    if (!peer->listener_->ok())
        return nullptr;
    peer->thread_ = std::thread([p = peer.get()] { p->run(); });
    return peer;
}

std::unique_ptr<ModulePeer> ModulePeer::overPty(uint8_t address)
{
    std::unique_ptr<ModulePeer> peer(new ModulePeer(address));
    peer->pty_ = std::make_unique<PtyPair>();
    if (!peer->pty_->ok())
        return nullptr;
    peer->connection_ = peer->pty_->master();
    peer->thread_ = std::thread([p = peer.get()] { p->run(); });
    return peer;
}

ModulePeer::~ModulePeer()
{
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    if (listener_) {
        int fd = connection_.exchange(-1);
        if (fd >= 0)
            close(fd);
    }
}

void ModulePeer::setMagicReply(MagicReply reply)
{
    std::lock_guard<std::mutex> lock(mutex_);
    magicReply_ = std::move(reply);
}

void ModulePeer::run()
{
    while (!stop_) {
        serveRequests();
        int fd = connection_.load();
        if (fd < 0) {
            int accepted = (listener_ && listener_->ok()) ? listener_->accept(20) : -1;
            if (!listener_ || !listener_->ok())
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            if (accepted >= 0) {
                partial_.clear();
                connection_ = accepted;
                changed_.notify_all();
            }
            continue;
        }
        if (!fdio::waitReadable(fd, 20))
            continue;
        uint8_t buffer[4096];
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            receiveBytes(buffer, static_cast<size_t>(n));
        } else if (listener_) {  // the host closed its end
            std::lock_guard<std::mutex> writeLock(writeMutex_);
            connection_ = -1;
            close(fd);
        }
    }
}

void ModulePeer::receiveBytes(const uint8_t* bytes, size_t length)
{
    for (size_t i = 0; i < length; i++) {
        if (pty_) {  // packetized serial: frames end in 0x00
            if (bytes[i] != 0) {
                partial_.push_back(bytes[i]);
                continue;
            }
            Bytes decoded(partial_.size() + 1);
            decoded.resize(partial_.empty() ? 0 : cobs_decode(partial_.data(), partial_.size(), decoded.data()));
            partial_.clear();
            if (decoded.size() >= 3 && crc8_check(decoded.data(), decoded.size() - 1, decoded.back())) {
                decoded.pop_back();
                receiveWire(decoded);
            }
            continue;
        }
        partial_.push_back(bytes[i]);
        if (partial_.size() >= 2 && partial_.size() == partial_[1] + 2u) {
            receiveWire(partial_);
            partial_.clear();
        }
    }
}

void ModulePeer::receiveWire(const Bytes& wire)
{
    if (wire.size() < 2 || wire.size() != wire[1] + 2u)
        return;
    handlePacket(Packet{wire[0], Bytes(wire.begin() + 2, wire.end())});
}

void ModulePeer::handlePacket(const Packet& packet)
{
    Bytes answer;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        received_.push_back(packet);
        if (packet.address == 0xAD && packet.payload.empty()) {
            size_t n = magicCount_++;
            answer = magicReply_ ? magicReply_(n) : Bytes{address_, 0};
        } else if (echo_ && packet.address == address_) {
            answer = {packet.address, static_cast<uint8_t>(packet.payload.size())};
            answer.insert(answer.end(), packet.payload.begin(), packet.payload.end());
        }
    }
    changed_.notify_all();
    if (!answer.empty())
        send(answer);
}

std::vector<uint8_t> SerialFrame(const std::vector<uint8_t>& wire)
{
    std::vector<uint8_t> plain = wire;
    plain.push_back(crc8_create(wire.data(), wire.size()));
    std::vector<uint8_t> encoded(cobs_max_encoded(plain.size()) + 1);
    encoded.resize(cobs_encode(plain.data(), plain.size(), encoded.data()));
    encoded.push_back(0);
    return encoded;
}

void ModulePeer::writeLine(const Bytes& bytes)
{
    std::lock_guard<std::mutex> lock(writeMutex_);
    int fd = connection_.load();
    if (fd >= 0)
        fdio::writeAll(fd, bytes.data(), bytes.size());
}

void ModulePeer::send(const Bytes& wire)
{
    writeLine(pty_ ? SerialFrame(wire) : wire);
}

void ModulePeer::sendPacket(uint8_t address, const Bytes& payload)
{
    Bytes wire = {address, static_cast<uint8_t>(payload.size())};
    wire.insert(wire.end(), payload.begin(), payload.end());
    send(wire);
}

std::vector<ModulePeer::Packet> ModulePeer::received()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

size_t ModulePeer::magicCount()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return magicCount_;
}

bool ModulePeer::waitFor(const std::function<bool(const std::vector<Packet>&)>& test, int timeoutMs)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return test(received_); });
}

bool ModulePeer::waitMagicAbove(size_t n, int timeoutMs)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return magicCount_ > n; });
}

bool ModulePeer::waitConnected(int timeoutMs)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return connection_.load() >= 0; });
}

void ModulePeer::serveRequests()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (request_ == Request::none)
        return;
    if (request_ == Request::vanish) {
        listener_->close();
        std::lock_guard<std::mutex> writeLock(writeMutex_);
        int fd = connection_.exchange(-1);
        if (fd >= 0)
            close(fd);
        requestResult_ = true;
    } else {
        requestResult_ = listener_->reopen();
    }
    request_ = Request::none;
    changed_.notify_all();
}

bool ModulePeer::request(Request r)
{
    if (!listener_)
        return false;
    std::unique_lock<std::mutex> lock(mutex_);
    request_ = r;
    changed_.wait(lock, [&] { return request_ == Request::none; });
    return requestResult_;
}

void ModulePeer::vanish()
{
    request(Request::vanish);
}

bool ModulePeer::comeBack()
{
    return request(Request::comeBack);
}
