#include "sim/HttpSimHost.h"

#include <httplib.h>

#include <chrono>

namespace Sim {

HttpSimHost::HttpSimHost() = default;

HttpSimHost::~HttpSimHost()
{
    Stop();
}

bool HttpSimHost::Start(std::unique_ptr<httplib::Server> server, const std::string& host, int port, std::string& error)
{
    server_ = std::move(server);
    if (port == 0)
        port_ = server_->bind_to_any_port(host);
    else
        port_ = server_->bind_to_port(host, port) ? port : 0;
    if (port_ <= 0) {
        error = "cannot listen on " + host + ":" + std::to_string(port);
        port_ = 0;
        return false;
    }
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    return true;
}

void HttpSimHost::Stop()
{
    if (!thread_.joinable())
        return;
    // stop() only acts on a running loop; the socket listens from Start on.
    while (!server_->is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    server_->stop();
    thread_.join();
}

}  // namespace Sim
