#pragma once
// A TCP server socket on 127.0.0.1 for test peers. It can be closed and opened again on
// the same port, to play a device that goes away and comes back.

#include <cstdint>

class TcpListener {
public:
    TcpListener();  // an ephemeral port
    ~TcpListener();
    TcpListener(const TcpListener&) = delete;
    TcpListener& operator=(const TcpListener&) = delete;

    bool ok() const { return fd_ >= 0; }
    uint16_t port() const { return port_; }
    // 127.0.0.1 in network byte order, as the socket stream takes it.
    static uint32_t loopback();

    // The accepted connection's descriptor, or -1 after timeoutMs.
    int accept(int timeoutMs);
    void close();
    bool reopen();  // listens again on the same port

private:
    bool listenOn(uint16_t port);
    int fd_ = -1;
    uint16_t port_ = 0;
};
