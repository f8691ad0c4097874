#pragma once
// The project's own update server: serves the update-server query protocol
// (GET <path>?op=...&) from a firmware directory over HTTP or HTTPS, with faults
// that tests can inject. A lab without internet access mirrors its firmware on it.
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/HttpSimHost.h"
#include "sim/UpdateServerCatalog.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace Sim {

// One injected fault, optionally limited to one operation (hi, qu, bird, builds, fix, ent_jwt).
struct ServerFault {
    enum Kind {
        Status,      // reply with status `value` (the body stays as it would be)
        NoOk,        // leave out the "ok" line
        BadBase64,   // image line that is not Base64
        BadBird,     // image line that decodes to bytes that are not a BIRD file
        BrokenBird,  // image line that decodes to a BIRD header over a cut zlib stream
        Slow,        // wait `value` milliseconds before replying
        Cut,         // announce the whole body but send only its first half, then hang up
        Stall,       // send the first half of the body, wait `value` milliseconds, then the rest
        Huge,        // an endless-looking image line: `value` MiB of Base64, length not announced
    };
    Kind kind = Status;
    int value = 0;
    std::string op;  // empty: every operation

    // "status=500", "no-ok@qu", "bad-base64", "bad-bird", "broken-bird", "slow=800@bird",
    // "cut@builds", "stall=5000@bird", "huge=65@bird". False (with error) for text it does not understand.
    static bool Parse(const std::string& text, ServerFault& fault, std::string& error);
};

struct UpdateServerOptions {
    std::string firmware_dir;
    std::string config_path;  // empty: <firmware_dir>/server.conf when present
    std::string host = "127.0.0.1";
    int port = 0;  // 0: any free port
    std::string path = "/cgi/u";
    std::string cert, key;  // both set: HTTPS
    std::vector<ServerFault> faults;
    bool verbose = false;  // each request on standard error
};

class UpdateServer {
public:
    explicit UpdateServer(UpdateServerOptions options);
    ~UpdateServer();
    UpdateServer(const UpdateServer&) = delete;
    UpdateServer& operator=(const UpdateServer&) = delete;

    // Reads the configuration, binds and serves on a thread; false (with error) on failure.
    bool Start(std::string& error);
    void Stop();

    int Port() const { return host_.Port(); }
    // The URL to hand to the client's -u: scheme://host:port/path.
    std::string Url() const;

    // Replaces the injected faults while serving.
    void SetFaults(std::vector<ServerFault> faults);
    // Raw request targets (path and query) received so far, in order.
    std::vector<std::string> Requests() const;

private:
    struct Reply {
        int status = 200;
        std::string body;
    };
    void _handle(const httplib::Request& request, httplib::Response& response);
    Reply _answer(const httplib::Request& request, const std::string& op) const;
    Reply _image(const httplib::Request& request, const std::vector<ServerFault>& faults) const;
    // Waits out an injected pause; Stop ends it early. False when stopping.
    bool _pause(int milliseconds);

    UpdateServerOptions options_;
    UpdateServerCatalog catalog_;
    HttpSimHost host_;
    mutable std::mutex mutex_;
    std::condition_variable stopping_;
    bool stop_ = false;
    std::vector<ServerFault> faults_;
    std::vector<std::string> requests_;
};

}  // namespace Sim
