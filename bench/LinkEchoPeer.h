#pragma once
// A module stand-in for the link benchmarks: a loopback TCP server whose thread blocks in
// recv (no polling, so it costs nothing while idle), answers magic packets with an empty
// packet from its address, drops route packets and echoes every other packet at once.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

class LinkEchoPeer {
public:
    static constexpr uint8_t kAddress = 4;

    LinkEchoPeer()
    {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        int on = 1;
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(listener_, 8);
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~LinkEchoPeer()
    {
        stop_ = true;
        shutdown(listener_, SHUT_RDWR);
        int fd = connection_.exchange(-1);
        if (fd >= 0)
            shutdown(fd, SHUT_RDWR);
        thread_.join();
        if (fd >= 0)
            close(fd);
        close(listener_);
    }

    uint16_t port() const { return port_; }
    static uint32_t loopback() { return htonl(INADDR_LOOPBACK); }

    // A plain blocking client socket to the peer, for the bare baseline.
    int connectClient() const
    {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(port_);
        address.sin_addr.s_addr = loopback();
        int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            close(fd);
            return -1;
        }
        return fd;
    }

private:
    // One connection at a time: each client (link or bare socket) is served until it closes.
    void serve()
    {
        while (!stop_) {
            int fd = accept(listener_, nullptr, nullptr);
            if (fd < 0)
                continue;
            int on = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            connection_ = fd;
            echo(fd);
            if (connection_.exchange(-1) == fd)
                close(fd);
        }
    }

    void echo(int fd)
    {
        std::vector<uint8_t> pending;
        uint8_t buffer[4096];
        for (;;) {
            ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                return;
            pending.insert(pending.end(), buffer, buffer + n);
            std::vector<uint8_t> answer;
            size_t used = 0;
            while (pending.size() - used >= 2 && pending.size() - used >= pending[used + 1] + 2u) {
                uint8_t address = pending[used], length = pending[used + 1];
                if (address == 0xAD && length == 0) {
                    answer.push_back(kAddress);
                    answer.push_back(0);
                } else if ((address & 1) == 0) {
                    answer.insert(answer.end(), pending.begin() + used, pending.begin() + used + 2 + length);
                }
                used += 2u + length;
            }
            pending.erase(pending.begin(), pending.begin() + used);
            if (!answer.empty() && send(fd, answer.data(), answer.size(), MSG_NOSIGNAL) < 0)
                return;
        }
    }

    int listener_ = -1;
    uint16_t port_ = 0;
    std::atomic<int> connection_{-1};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};
