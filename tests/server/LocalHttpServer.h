#pragma once
// A small HTTP(S) server on 127.0.0.1 for the client tests: every GET goes to one
// handler, and the raw request targets are recorded in arrival order.
#include <httplib.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class LocalHttpServer {
public:
    using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

    // Plain HTTP.
    LocalHttpServer() : server_(std::make_unique<httplib::Server>()) {}
    // HTTPS with the given certificate and key files.
    LocalHttpServer(const std::string& cert, const std::string& key)
        : server_(std::make_unique<httplib::SSLServer>(cert.c_str(), key.c_str()))
    {
    }

    ~LocalHttpServer() { Stop(); }

    // Answers every GET with status 200 and the body.
    void Reply(int status, const std::string& body)
    {
        Handle([status, body](const httplib::Request&, httplib::Response& res) {
            res.status = status;
            res.set_content(body, "text/plain");
        });
    }

    void Handle(Handler handler)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        handler_ = std::move(handler);
    }

    // Binds an ephemeral port on 127.0.0.1 and serves on a thread; false when binding failed.
    bool Start()
    {
        server_->Get(".*", [this](const httplib::Request& req, httplib::Response& res) {
            Handler handler;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                targets_.push_back(req.target);
                handler = handler_;
            }
            if (handler)
                handler(req, res);
        });
        port_ = server_->bind_to_any_port("127.0.0.1");
        if (port_ <= 0)
            return false;
        // The socket listens already: clients may connect before the loop runs.
        thread_ = std::thread([this] { server_->listen_after_bind(); });
        return true;
    }

    void Stop()
    {
        if (thread_.joinable()) {
            // stop() only acts on a running loop.
            while (!server_->is_running())
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            server_->stop();
            thread_.join();
        }
    }

    int Port() const { return port_; }
    std::string Url(const std::string& scheme = "http") const
    {
        return scheme + "://127.0.0.1:" + std::to_string(port_) + "/cgi/u";
    }

    std::vector<std::string> Targets()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return targets_;
    }
    std::string LastTarget()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return targets_.empty() ? std::string() : targets_.back();
    }

private:
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    std::mutex mutex_;
    Handler handler_;
    std::vector<std::string> targets_;
    int port_ = 0;
};
