#pragma once
// One blocking HTTP or HTTPS request over libcurl's easy interface: a GET, or a
// request with a method, headers and a body of its own (Send).
#include <functional>
#include <map>
#include <string>
#include <vector>

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
    // A header of the reply by its lower-case name ("content-range"); empty when absent.
    std::string get_header(const std::string& name) const;

    // The status line as it arrives; the body of a 2xx reply then goes to the sink, when
    // one is set, instead of the response.
    void begin_reply(long status);
    void add_header(const std::string& name, const std::string& value) { headers_[name] = value; }
    void set_sink(std::function<bool(const char*, unsigned long)> sink) { sink_ = std::move(sink); }

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
    std::map<std::string, std::string> headers_;
    std::function<bool(const char*, unsigned long)> sink_;
};

// What a request sends besides its URL. The trust settings of the environment apply
// to every request alike.
struct HTTPExchange {
    std::string method = "GET";        // "GET", "PUT", "POST"
    std::vector<std::string> headers;  // "Name: value"
    std::string body;                  // sent with PUT and POST
    // Takes the body of a 2xx reply piece by piece (a download to a file); false ends
    // the transfer as a failure. Other replies' bodies stay in the response.
    std::function<bool(const char*, unsigned long)> sink;
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
    // The request as the exchange describes it; statuses and failures as GET.
    static HTTPResponse Send(const std::string& full, const HTTPExchange& exchange);
};
