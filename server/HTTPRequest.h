#pragma once
// One blocking HTTP or HTTPS GET over libcurl's easy interface.
#include <map>
#include <string>

// The outcome of one GET: the full URL asked for, the HTTP status and the body.
class HTTPResponse {
public:
    explicit HTTPResponse(const char* request);

    void set_status(long status) { status_ = status; }
    long get_status() const { return status_; }
    const char* get_response() const { return response_.c_str(); }
    // Hands the body over without a copy; the response is left empty.
    std::string take_response() { return std::move(response_); }
    const char* get_request() const { return request_.c_str(); }

    // Appends length bytes of the body, in arrival order. False, with nothing appended,
    // when the body would grow beyond MAX_REPLY_BYTES.
    bool process(const char* data, unsigned long length);
    // Room for the announced body, so that a large reply is not copied while it grows.
    void expect(unsigned long length);

    // libcurl write callback; response is the HTTPResponse being filled.
    static unsigned long _rcv_data(void* data, unsigned long size, unsigned long count, void* response);

private:
    std::string request_;
    long status_ = 0;
    std::string response_;
};

class HTTPRequest {
public:
    // No reply of the update server comes near this (the largest build, as Base64, is
    // well below it): a longer one is cut off as it arrives and the request fails.
    static constexpr unsigned long MAX_REPLY_BYTES = 64ul << 20;

    // Connecting, and any stretch without a byte received (header or body), may last
    // this many seconds before the request fails with libcurl's time-out text. The
    // environment variable UPDATER_HTTP_TIMEOUT overrides the default (whole seconds,
    // 1 to 86400).
    static constexpr const char* STALL_LIMIT_VARIABLE = "UPDATER_HTTP_TIMEOUT";
    static constexpr long DEFAULT_STALL_LIMIT_SECONDS = 60;
    static constexpr long MAX_STALL_LIMIT_SECONDS = 86400;
    static long StallLimitSeconds();
    // False when the variable is set to something that is no such number (the default
    // applies then): the caller tells the user.
    static bool StallLimitValid();

    // GETs url with the parameters appended as "?k1=v1&k2=v2&" (key order, no escaping).
    // Any status is a normal return; transport failures throw std::runtime_error.
    static HTTPResponse GET(const char* url, std::map<std::string, std::string>& parameters);
};
