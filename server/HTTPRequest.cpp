#include "server/HTTPRequest.h"

#include <curl/curl.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <stdexcept>

#include "common/Log.h"

HTTPResponse::HTTPResponse(const char* request) : request_(request ? request : "") {}

void HTTPResponse::process(const char* data, unsigned long length) {
    response_.append(data, length);
}

unsigned long HTTPResponse::_rcv_data(void* data, unsigned long size, unsigned long count,
                                      void* response) {
    const unsigned long length = size * count;
    const int shown = static_cast<int>(std::min<unsigned long>(length, 100));
    Log::log(DEBUG_ServerComm, "rcv_data called (..., %d, %d, %08X) [%100.*s]\n",
             static_cast<int>(size), static_cast<int>(count),
             static_cast<unsigned>(reinterpret_cast<uintptr_t>(response)), shown,
             static_cast<const char*>(data));
    static_cast<HTTPResponse*>(response)->process(static_cast<const char*>(data), length);
    Log::log(DEBUG_ServerComm, "rcv_data returns %d\n", static_cast<int>(length));
    return length;
}

namespace {

struct CurlCleanup {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlHandle = std::unique_ptr<CURL, CurlCleanup>;

std::string _full_url(const char* url, const std::map<std::string, std::string>& parameters) {
    std::string full = url ? url : "";
    if (parameters.empty()) return full;
    full += "?";
    for (const auto& [key, value] : parameters) full += key + "=" + value + "&";
    return full;
}

// Applies the options one by one and stops at the first that libcurl refuses.
CURLcode _setup(CURL* handle, HTTPResponse* response, const std::string& url, long limit) {
    using WriteFn = unsigned long (*)(void*, unsigned long, unsigned long, void*);
    WriteFn write = &HTTPResponse::_rcv_data;
    CURLcode rc = curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, write);
    if (rc == CURLE_OK) rc = curl_easy_setopt(handle, CURLOPT_WRITEDATA, response);
    if (rc == CURLE_OK) rc = curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    if (rc == CURLE_OK) rc = curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
    if (rc == CURLE_OK) rc = curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 0L);
    if (rc == CURLE_OK) rc = curl_easy_setopt(handle, CURLOPT_SSL_VERIFYSTATUS, 0L);
    // A server that never answers, or stops sending mid-body, must not hold the run for
    // ever: connecting (TLS included) and every silence are bounded by the same limit.
    if (rc == CURLE_OK) rc = curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, limit);
    if (rc == CURLE_OK) rc = curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
    if (rc == CURLE_OK) rc = curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, limit);
    return rc;
}

}  // namespace

long HTTPRequest::StallLimitSeconds() {
    const char* text = std::getenv(STALL_LIMIT_VARIABLE);
    if (!text || !*text) return DEFAULT_STALL_LIMIT_SECONDS;
    char* end = nullptr;
    errno = 0;
    const long seconds = std::strtol(text, &end, 10);
    if (errno || *end || seconds < 1 || seconds > MAX_STALL_LIMIT_SECONDS) {
        Log::log(DEBUG_ServerComm, "%s=%s is not a number of seconds from 1 to %ld; using %ld\n",
                 STALL_LIMIT_VARIABLE, text, MAX_STALL_LIMIT_SECONDS, DEFAULT_STALL_LIMIT_SECONDS);
        return DEFAULT_STALL_LIMIT_SECONDS;
    }
    return seconds;
}

HTTPResponse HTTPRequest::GET(const char* url, std::map<std::string, std::string>& parameters) {
    CurlHandle handle(curl_easy_init());
    const std::string full = _full_url(url, parameters);
    HTTPResponse response(full.c_str());
    if (!handle) throw std::runtime_error("Could not create curl instance");

    CURLcode rc = _setup(handle.get(), &response, full, StallLimitSeconds());
    long status = 0;
    if (rc == CURLE_OK) {
        Log::log(DEBUG_ServerComm, "GET(%s)\n", full.c_str());
        rc = curl_easy_perform(handle.get());
    }
    if (rc == CURLE_OK) rc = curl_easy_getinfo(handle.get(), CURLINFO_RESPONSE_CODE, &status);
    if (rc != CURLE_OK) throw std::runtime_error(curl_easy_strerror(rc));
    response.set_status(status);
    return response;
}
