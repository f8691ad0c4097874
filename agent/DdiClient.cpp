#include "agent/DdiClient.h"

#include <cctype>
#include <stdexcept>
#include <utility>
#include <vector>

#include "common/Log.h"
#include "server/HTTPRequest.h"

namespace {

// "scheme://host:port" of a URL, lower case; empty when it has no scheme.
std::string _origin(const std::string& url)
{
    const size_t scheme = url.find("://");
    if (scheme == std::string::npos)
        return "";
    const size_t end = url.find_first_of("/?#", scheme + 3);
    std::string origin = url.substr(0, end);
    for (char& c : origin)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return origin;
}

std::string _escaped(const std::string& text)
{
    static const char HEX[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += HEX[c >> 4];
            out += HEX[c & 15];
        }
    }
    return out;
}

std::string _without_query(const std::string& href)
{
    return href.substr(0, href.find_first_of("?#"));
}

}  // namespace

std::string DdiReply::Text() const
{
    return Answered() ? "HTTP " + std::to_string(status) : failure;
}

DdiClient::DdiClient(DdiServer server, RequestPacer& pacer) : server_(std::move(server)), pacer_(pacer)
{
    while (!server_.url.empty() && server_.url.back() == '/')
        server_.url.pop_back();
}

std::string DdiClient::Base(const std::string& controllerId) const
{
    return server_.url + "/" + _escaped(server_.tenant) + "/controller/v1/" + _escaped(controllerId);
}

bool DdiClient::OwnPlace(const std::string& href) const
{
    return !_origin(href).empty() && _origin(href) == _origin(server_.url);
}

DdiReply DdiClient::Poll(const std::string& controllerId)
{
    return _send(Base(controllerId), "GET", "", true);
}

DdiReply DdiClient::Fetch(const std::string& href)
{
    return _send(href, "GET", "", true);
}

DdiReply DdiClient::PutConfigData(const std::string& controllerId, const std::string& body)
{
    return _send(Base(controllerId) + "/configData", "PUT", body, true);
}

DdiReply DdiClient::Feedback(const std::string& actionHref, const std::string& body)
{
    return _send(_without_query(actionHref) + "/feedback", "POST", body, true);
}

DdiReply DdiClient::_send(const std::string& url, const char* method, const std::string& body, bool token)
{
    HTTPExchange exchange;
    exchange.method = method;
    exchange.headers.emplace_back("Accept: application/json");
    if (token)
        exchange.headers.push_back("Authorization: GatewayToken " + server_.token);
    if (exchange.method != "GET") {
        exchange.body = body;
        exchange.headers.emplace_back("Content-Type: application/json");
        exchange.headers.emplace_back("Expect:");  // no wait for "100 Continue" before a body
        pacer_.Write();
    } else {
        pacer_.Read();
    }
    DdiReply reply;
    try {
        HTTPResponse response = HTTPRequest::Send(url, exchange);
        reply.status = response.get_status();
        reply.body = response.take_response();
    } catch (const std::runtime_error& e) {
        reply.failure = e.what();
    }
    Log::log(DEBUG_ServerComm, "DDI %s %s: %s\n", method, url.c_str(), reply.Text().c_str());
    return reply;
}

DdiReply DdiClient::Download(const std::string& href, uint64_t offset,
                             const std::function<bool(const char*, unsigned long)>& sink)
{
    HTTPExchange exchange;
    // An artifact at another place (a mirror, a CDN) never sees the tenant's token.
    if (OwnPlace(href))
        exchange.headers.push_back("Authorization: GatewayToken " + server_.token);
    if (offset > 0)
        exchange.headers.push_back("Range: bytes=" + std::to_string(offset) + "-");
    exchange.sink = sink;
    pacer_.Read();
    DdiReply reply;
    try {
        HTTPResponse response = HTTPRequest::Send(href, exchange);
        reply.status = response.get_status();
        reply.body = response.take_response();
        reply.contentRange = response.get_header("content-range");
    } catch (const std::runtime_error& e) {
        reply.failure = e.what();
    }
    Log::log(DEBUG_ServerComm, "DDI download %s from %llu: %s\n", href.c_str(), static_cast<unsigned long long>(offset),
             reply.Text().c_str());
    return reply;
}
