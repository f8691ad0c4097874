#include "support/TcpListener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "support/FdIo.h"

TcpListener::TcpListener()
{
    listenOn(0);
}

TcpListener::~TcpListener()
{
    close();
}

uint32_t TcpListener::loopback()
{
    return htonl(INADDR_LOOPBACK);
}

bool TcpListener::listenOn(uint16_t port)
{
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    if (fd_ < 0)
        return false;
    int on = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = loopback();
    socklen_t length = sizeof address;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd_, 4) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close();
        return false;
    }
    port_ = ntohs(address.sin_port);
    return true;
}

int TcpListener::accept(int timeoutMs)
{
    if (fd_ < 0 || !fdio::waitReadable(fd_, timeoutMs))
        return -1;
    return ::accept(fd_, nullptr, nullptr);
}

void TcpListener::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

bool TcpListener::reopen()
{
    close();
    return listenOn(port_);
}
