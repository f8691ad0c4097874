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
    const char* get_request() const { return request_.c_str(); }

    // Appends length bytes of the body, in arrival order.
    void process(const char* data, unsigned long length);

    // libcurl write callback; response is the HTTPResponse being filled.
    static unsigned long _rcv_data(void* data, unsigned long size, unsigned long count,
                                   void* response);

private:
    std::string request_;
    long status_ = 0;
    std::string response_;
};

class HTTPRequest {
public:
    // GETs url with the parameters appended as "?k1=v1&k2=v2&" (key order, no escaping).
    // Any status is a normal return; transport failures throw std::runtime_error.
    static HTTPResponse GET(const char* url, std::map<std::string, std::string>& parameters);
};
