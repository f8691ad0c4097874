#pragma once
// A rollout server for the tests, the demo and a lab: the device side of a hawkBit
// server (its Direct Device Integration API: polls, attributes, deployments,
// feedback, cancellations, artifact downloads with ranges), deployments from a
// script or the lab API under /sim/, faults that tests inject, and a record of
// every request that matters.
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "sim/DdiBook.h"
#include "sim/HttpSimHost.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace Sim {

// One injected fault, for one kind of request or all of them.
struct DdiFault {
    enum Kind {
        Status,        // answer with status `value` (no body)
        Stall,         // a download sends half, waits `value` milliseconds, then the rest
        Cut,           // the first full download of each artifact stops after half its bytes
        Unauthorized,  // every request 401, as with a wrong token
    };
    Kind kind = Status;
    int value = 0;
    std::string on = "all";  // poll, config, deployment, feedback, cancel, download, all
    int times = -1;          // -1: always

    // "status=500@poll", "status=500@feedbackx2", "stall=3000@download", "cut@download",
    // "unauthorized"; false (with error) for text it does not understand.
    static bool Parse(const std::string& text, DdiFault& fault, std::string& error);
};

struct DdiServerOptions {
    std::string artifacts_dir;
    std::string tenant = "DEFAULT";
    std::string gateway_token;  // empty: requests are not checked
    std::string host = "127.0.0.1";
    int port = 0;
    std::string sleep = "00:05:00";   // the polling interval the poll answer advises
    std::string record_path;          // JSON lines of the record, appended
    std::vector<std::string> script;  // deploy lines
    std::vector<DdiFault> faults;
    bool limit_rate = false;  // 429 beyond 200 GET or 50 other requests in one second
};

class DdiServer {
public:
    explicit DdiServer(DdiServerOptions options);
    ~DdiServer();
    DdiServer(const DdiServer&) = delete;
    DdiServer& operator=(const DdiServer&) = delete;

    // Deploys the script, binds and serves on threads; false (with error) on failure.
    bool Start(std::string& error);
    void Stop();
    // The server's base URL: http://host:port (the tenant's paths lie below it).
    std::string Url() const;

    DdiBook& Book() { return book_; }
    nlohmann::json Record() const;

private:
    void _ddi(const httplib::Request& request, httplib::Response& response);
    void _lab(const httplib::Request& request, httplib::Response& response);
    // The path's parts below /{tenant}/controller/v1/{controllerId}; false when not a DDI path.
    bool _split(const std::string& path, std::string& controllerId, std::vector<std::string>& rest) const;
    const char* _kind(const std::string& method, const std::vector<std::string>& rest) const;
    // The fault that answers this request, if one fires now.
    std::optional<DdiFault> _fault(const std::string& kind);
    bool _over_rate(bool get);

    void _poll(const std::string& controllerId, const std::string& base, httplib::Response& response);
    void _config(const std::string& controllerId, const httplib::Request& request, httplib::Response& response,
                 nlohmann::json& entry);
    void _deployment(const std::string& controllerId, uint64_t actionId, bool installed, const std::string& base,
                     const httplib::Request& request, httplib::Response& response);
    void _feedback(const std::string& controllerId, uint64_t actionId, bool cancelChannel,
                   const httplib::Request& request, httplib::Response& response, nlohmann::json& entry);
    void _cancel(const std::string& controllerId, uint64_t actionId, httplib::Response& response);
    void _download(const std::string& controllerId, uint64_t moduleId, const std::string& name,
                   const httplib::Request& request, httplib::Response& response, nlohmann::json& entry);
    // True when the body is cut on purpose.
    bool _serve_bytes(uint64_t actionId, const std::string& bytes, const httplib::Request& request,
                      httplib::Response& response);
    void _note(nlohmann::json entry);
    bool _pause(int milliseconds);

    DdiServerOptions options_;
    DdiBook book_;
    HttpSimHost host_;
    mutable std::mutex mutex_;
    std::condition_variable stopping_;
    bool stop_ = false;
    std::vector<DdiFault> faults_;
    std::set<uint64_t> cut_;  // actions whose download was cut once
    nlohmann::json record_ = nlohmann::json::array();
    FILE* record_file_ = nullptr;
    int64_t rate_second_ = 0;
    unsigned rate_gets_ = 0, rate_others_ = 0;
};

}  // namespace Sim
