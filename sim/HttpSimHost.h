#pragma once
// The simulators' HTTP servers (update server, DDI server) serve through a
// cpp-httplib server bound before Start returns, so that the port is known and
// taken when the caller prints its URL, and listening on a thread of its own.
#include <memory>
#include <string>
#include <thread>

namespace httplib {
class Server;
}  // namespace httplib

namespace Sim {

class HttpSimHost {
public:
    HttpSimHost();
    ~HttpSimHost();
    HttpSimHost(const HttpSimHost&) = delete;
    HttpSimHost& operator=(const HttpSimHost&) = delete;

    // Binds the server (its routes set) to host:port, port 0 meaning any free one,
    // and listens on a thread; false (with error) when the address cannot be bound.
    bool Start(std::unique_ptr<httplib::Server> server, const std::string& host, int port, std::string& error);
    // Ends the listening loop and its thread; nothing when not started.
    void Stop();

    bool Started() const { return thread_.joinable(); }
    // The bound port; 0 before Start or after a failed one.
    int Port() const { return port_; }

private:
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;
};

}  // namespace Sim
