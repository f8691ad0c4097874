#include "server/HTTPRequest.h"

#include <curl/curl.h>
#include <openssl/x509_vfy.h>
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "common/Log.h"
#include "server/HTTPConnectionShare.h"
#include "server/ServerTrust.h"

HTTPResponse::HTTPResponse(const char* request) : request_(request ? request : "") {}

std::string HTTPResponse::get_header(const std::string& name) const
{
    auto found = headers_.find(name);
    return found == headers_.end() ? std::string() : found->second;
}

void HTTPResponse::begin_reply(long status)
{
    // A reply after an interim one (100 Continue) starts afresh.
    status_ = status;
    headers_.clear();
}

bool HTTPResponse::process(const char* data, unsigned long length)
{
    if (sink_ && status_ >= 200 && status_ < 300)
        return sink_(data, length);
    if (length > HTTPRequest::MAX_REPLY_BYTES - response_.size())
        return false;
    response_.append(data, length);
    return true;
}

void HTTPResponse::expect(unsigned long length)
{
    if (length <= HTTPRequest::MAX_REPLY_BYTES)
        response_.reserve(length);
}

unsigned long HTTPResponse::_rcv_data(void* data, unsigned long size, unsigned long count, void* response)
{
    const unsigned long length = size * count;
    const int shown = static_cast<int>(std::min<unsigned long>(length, 100));
    Log::log(DEBUG_ServerComm, "rcv_data called (..., %d, %d, %08X) [%100.*s]\n", static_cast<int>(size),
             static_cast<int>(count), static_cast<unsigned>(reinterpret_cast<uintptr_t>(response)), shown,
             static_cast<const char*>(data));
    if (!static_cast<HTTPResponse*>(response)->process(static_cast<const char*>(data), length)) {
        Log::log(DEBUG_ServerComm, "rcv_data: the reply exceeds %lu bytes\n", HTTPRequest::MAX_REPLY_BYTES);
        return 0;  // libcurl ends the transfer with a write error
    }
    Log::log(DEBUG_ServerComm, "rcv_data returns %d\n", static_cast<int>(length));
    return length;
}

namespace {

constexpr long RECEIVE_BUFFER_BYTES = 256 * 1024;

using Clock = std::chrono::steady_clock;

// Ends a request that has received nothing for the limit: libcurl calls it at least
// once a second, also while it connects or waits; headers and body bytes both count.
struct SilenceWatch {
    Clock::duration limit;
    Clock::time_point last = Clock::now();
    curl_off_t bodyBytes = 0;
    bool expired = false;

    void Heard() { last = Clock::now(); }

    static int Check(void* self, curl_off_t, curl_off_t received, curl_off_t, curl_off_t)
    {
        auto* watch = static_cast<SilenceWatch*>(self);
        if (received != watch->bodyBytes) {
            watch->bodyBytes = received;
            watch->Heard();
        }
        watch->expired = Clock::now() - watch->last > watch->limit;
        return watch->expired ? 1 : 0;
    }
};

// What the header callback serves: the response being filled and the silence watch.
struct HeaderSink {
    HTTPResponse* response;
    SilenceWatch* watch;
};

// Makes room for an announced body before it arrives.
size_t _rcv_header(char* data, size_t size, size_t count, void* sink)
{
    static constexpr char NAME[] = "content-length:";
    constexpr size_t NAME_LENGTH = sizeof NAME - 1;
    const size_t length = size * count;
    auto* headers = static_cast<HeaderSink*>(sink);
    headers->watch->Heard();
    const std::string line(data, length);
    if (line.compare(0, 5, "HTTP/") == 0) {
        const size_t space = line.find(' ');
        headers->response->begin_reply(space == std::string::npos ? 0 : std::strtol(line.c_str() + space, nullptr, 10));
        return length;
    }
    const size_t colon = line.find(':');
    if (colon != std::string::npos) {
        std::string name = line.substr(0, colon);
        std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
        const size_t start = line.find_first_not_of(" \t", colon + 1);
        const size_t end = line.find_last_not_of(" \t\r\n");
        headers->response->add_header(
            name, start == std::string::npos || end < start ? std::string() : line.substr(start, end - start + 1));
    }
    if (length > NAME_LENGTH && strncasecmp(data, NAME, NAME_LENGTH) == 0)
        headers->response->expect(
            std::strtoul(std::string(data + NAME_LENGTH, length - NAME_LENGTH).c_str(), nullptr, 10));
    return length;
}

struct CurlCleanup {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlHandle = std::unique_ptr<CURL, CurlCleanup>;

std::string _full_url(const char* url, const std::map<std::string, std::string>& parameters)
{
    std::string full = url ? url : "";
    if (parameters.empty())
        return full;
    full += "?";
    for (const auto& [key, value] : parameters)
        full += key + "=" + value + "&";
    return full;
}

// Applies the options one by one and stops at the first that libcurl refuses.
CURLcode _setup(CURL* handle, HTTPResponse* response, const std::string& url, long limit, HeaderSink* headers)
{
    using WriteFn = unsigned long (*)(void*, unsigned long, unsigned long, void*);
    WriteFn write = &HTTPResponse::_rcv_data;
    CURLcode rc = curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, write);
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(handle, CURLOPT_WRITEDATA, response);
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 0L);
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(handle, CURLOPT_SSL_VERIFYSTATUS, 0L);
    // A server that never answers, or stops sending mid-body, must not hold the run for
    // ever: connecting (TLS included) and every silence are bounded by the same limit.
    // libcurl's own low-speed check averages over several seconds, so a trickle or a
    // stall after a burst would outlast the limit: the watch counts silence itself.
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, limit);
    using WatchFn = int (*)(void*, curl_off_t, curl_off_t, curl_off_t, curl_off_t);
    WatchFn check = &SilenceWatch::Check;
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, check);
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(handle, CURLOPT_XFERINFODATA, headers->watch);
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
    // An image arrives in large pieces: fewer reads and callbacks.
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(handle, CURLOPT_BUFFERSIZE, RECEIVE_BUFFER_BYTES);
    using HeaderFn = size_t (*)(char*, size_t, size_t, void*);
    HeaderFn header = &_rcv_header;
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, header);
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(handle, CURLOPT_HEADERDATA, headers);
    // An announced length beyond any reply is refused before the body comes.
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(handle, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(HTTPRequest::MAX_REPLY_BYTES));
    return rc;
}

// The site's own checks on top: the chain must end in its CA bundle (or the system's
// store), and/or the server's public key must be one of its pins. Only https is
// spoken then, so that nothing reaches the store unchecked.
CURLcode _setup_trust(CURL* handle, const ServerTrust& trust)
{
    if (!trust.Enabled())
        return CURLE_OK;
    CURLcode rc = curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "https");
    if (rc == CURLE_OK && trust.VerifiesChain()) {
        rc = curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
        // A bundle of its own replaces the system's store (file and directory alike).
        if (rc == CURLE_OK && trust.ca_bundle != ServerTrust::SYSTEM_STORE)
            rc = curl_easy_setopt(handle, CURLOPT_CAINFO, trust.ca_bundle.c_str());
        if (rc == CURLE_OK && trust.ca_bundle != ServerTrust::SYSTEM_STORE)
            rc = curl_easy_setopt(handle, CURLOPT_CAPATH, nullptr);
    }
    if (rc == CURLE_OK && !trust.pinned_keys.empty())
        rc = curl_easy_setopt(handle, CURLOPT_PINNEDPUBLICKEY, trust.pinned_keys.c_str());
    return rc;
}

// Why a server's certificate was not accepted, in the words a user looks for; null
// when the failure was no certificate check.
const char* _refusal(CURL* handle, CURLcode rc, const char* detail)
{
    if (rc == CURLE_SSL_PINNEDPUBKEYNOTMATCH)
        return "pin mismatch";
    if (rc != CURLE_PEER_FAILED_VERIFICATION)
        return nullptr;
    if (std::strstr(detail, "host name"))
        return "host-name mismatch";
    long result = X509_V_OK;
    curl_easy_getinfo(handle, CURLINFO_SSL_VERIFYRESULT, &result);
    switch (result) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
        return "expired";
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return "not yet valid";
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        return "unknown CA";
    default:
        return "not trusted";
    }
}

void _log_failure(CURL* handle, CURLcode rc, const std::string& method, const std::string& url, const char* detail)
{
    const char* refusal = _refusal(handle, rc, detail);
    const char* text = *detail ? detail : curl_easy_strerror(rc);
    if (refusal)
        Log::log(DEBUG_ServerComm, "%s(%s): server certificate refused (%s): %s\n", method.c_str(), url.c_str(),
                 refusal, text);
    else
        Log::log(DEBUG_ServerComm, "%s(%s) failed: %s\n", method.c_str(), url.c_str(), text);
}

// The variable's seconds; 0 when it is set to something else, -1 when it is unset.
long _stall_limit_setting()
{
    const char* text = std::getenv(HTTPRequest::STALL_LIMIT_VARIABLE);
    if (!text || !*text)
        return -1;
    char* end = nullptr;
    errno = 0;
    const long seconds = std::strtol(text, &end, 10);
    if (errno || *end || seconds < 1 || seconds > HTTPRequest::MAX_STALL_LIMIT_SECONDS)
        return 0;
    return seconds;
}

}  // namespace

bool HTTPRequest::StallLimitValid()
{
    return _stall_limit_setting() != 0;
}

long HTTPRequest::StallLimitSeconds()
{
    const long seconds = _stall_limit_setting();
    if (seconds == 0)
        Log::log(DEBUG_ServerComm, "%s=%s is not a number of seconds from 1 to %ld; using %ld\n", STALL_LIMIT_VARIABLE,
                 std::getenv(STALL_LIMIT_VARIABLE), MAX_STALL_LIMIT_SECONDS, DEFAULT_STALL_LIMIT_SECONDS);
    return seconds > 0 ? seconds : DEFAULT_STALL_LIMIT_SECONDS;
}

HTTPResponse HTTPRequest::GET(const char* url, std::map<std::string, std::string>& parameters)
{
    return Send(_full_url(url, parameters), HTTPExchange());
}

namespace {

struct CurlList {
    curl_slist* list = nullptr;
    ~CurlList() { curl_slist_free_all(list); }
};

// The method, headers and body of a request that is not a plain GET.
CURLcode _setup_exchange(CURL* handle, const HTTPExchange& exchange, CurlList& headers)
{
    CURLcode rc = CURLE_OK;
    if (exchange.method != "GET") {
        rc = curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, exchange.method.c_str());
        if (rc == CURLE_OK)
            rc = curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(exchange.body.size()));
        if (rc == CURLE_OK)
            rc = curl_easy_setopt(handle, CURLOPT_POSTFIELDS, exchange.body.c_str());
    }
    for (const std::string& header : exchange.headers) {
        curl_slist* longer = curl_slist_append(headers.list, header.c_str());
        if (!longer)
            return CURLE_OUT_OF_MEMORY;
        headers.list = longer;
    }
    if (rc == CURLE_OK && headers.list)
        rc = curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.list);
    return rc;
}

}  // namespace

HTTPResponse HTTPRequest::Send(const std::string& full, const HTTPExchange& exchange)
{
    CurlHandle handle(curl_easy_init());
    HTTPResponse response(full.c_str());
    if (!handle)
        throw std::runtime_error("Could not create curl instance");

    ServerTrust trust;
    std::string refused;
    if (!ServerTrust::FromEnvironment(trust, refused) || !trust.Allows(full, refused)) {
        Log::log(DEBUG_ServerComm, "%s(%s) not made: %s\n", exchange.method.c_str(), full.c_str(), refused.c_str());
        throw std::runtime_error(refused);
    }
    if (exchange.sink)
        response.set_sink(exchange.sink);
    char detail[CURL_ERROR_SIZE] = "";
    const long limit = StallLimitSeconds();
    SilenceWatch watch{std::chrono::seconds(limit)};
    HeaderSink headers{&response, &watch};
    CurlList headerList;
    CURLcode rc = _setup(handle.get(), &response, full, limit, &headers);
    if (rc == CURLE_OK)
        rc = _setup_trust(handle.get(), trust);
    if (rc == CURLE_OK)
        rc = _setup_exchange(handle.get(), exchange, headerList);
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(handle.get(), CURLOPT_ERRORBUFFER, detail);
    if (rc == CURLE_OK)
        HTTPConnectionShare::Attach(handle.get());
    long status = 0;
    if (rc == CURLE_OK) {
        Log::log(DEBUG_ServerComm, "%s(%s)\n", exchange.method.c_str(), full.c_str());
        rc = curl_easy_perform(handle.get());
    }
    if (rc == CURLE_OK)
        rc = curl_easy_getinfo(handle.get(), CURLINFO_RESPONSE_CODE, &status);
    if (rc == CURLE_ABORTED_BY_CALLBACK && watch.expired) {
        rc = CURLE_OPERATION_TIMEDOUT;
        snprintf(detail, sizeof detail, "nothing received for %ld s", limit);
    }
    if (rc != CURLE_OK) {
        _log_failure(handle.get(), rc, exchange.method, full, detail);
        throw std::runtime_error(curl_easy_strerror(rc));
    }
    response.set_status(status);
    return response;
}
