// Arbitrary replies to each of the six update-server requests, through the real request
// code with a canned transport in place of HTTP.
//
// Input: the request (first byte modulo 6), the status (second byte: below 0xE0 means
// 200, otherwise one of a few others), whether the transport fails (third byte 0xFF),
// then the body. Whatever the reply, nothing crashes, a failed request leaves its
// outputs as they were (a build list is emptied first), and what a request hands out
// keeps the shape its callers rely on.
#include <cstdint>
#include <cstdlib>
#include <map>
#include <stdexcept>
#include <string>

#include "server/UpdateServerRequest.h"

namespace {

void _check(bool condition)
{
    if (!condition)
        std::abort();
}

struct Canned {
    long status = 200;
    bool fails = false;
    std::string body;
};
Canned canned;

HTTPResponse _canned_get(const char* url, std::map<std::string, std::string>&)
{
    if (canned.fails)
        throw std::runtime_error("Timeout was reached");
    HTTPResponse response(url);
    response.process(canned.body.data(), canned.body.size());
    response.set_status(canned.status);
    return response;
}

// The first non-empty line (the body is text: it ends at a NUL) begins with "ok".
bool _ok_reply()
{
    if (canned.fails || canned.status != 200)
        return false;
    const std::string text = canned.body.substr(0, canned.body.find('\0'));
    const size_t start = text.find_first_not_of('\n');
    return start != std::string::npos && text.compare(start, 2, "ok") == 0;
}

bool _has_any(const std::string& text, const char* characters)
{
    return text.find_first_of(characters) != std::string::npos;
}

const std::string UNTOUCHED = "untouched";

void _query_build(bool ok)
{
    std::string build = UNTOUCHED, firmware = UNTOUCHED;
    const bool result = UpdateServerRequest::QueryBuild(0x40F5849A, build, firmware, "http://x/cgi/u");
    _check(result == ok);
    if (!result)
        _check(build == UNTOUCHED && firmware == UNTOUCHED);
    _check(!_has_any(build, "\n") && !_has_any(firmware, "\r\n"));
}

void _get_build(bool ok)
{
    std::string file = UNTOUCHED;
    const bool result = UpdateServerRequest::GetBuild(0x40F5849A, "std", "117", file, "http://x/cgi/u", false);
    _check(result == ok);
    if (!result)
        _check(file == UNTOUCHED);
    _check(!_has_any(file, "\n"));
}

void _build_list(bool ok)
{
    BuildList builds{{"stale", "1.0.0"}};
    const bool result = UpdateServerRequest::GetBuildList(0x40F5849A, builds, "http://x/cgi/u");
    _check(result == ok);
    if (!result)
        _check(builds.empty());
    for (const auto& [build, version] : builds) {
        _check(!build.empty() && !_has_any(build, ";\r\n"));
        _check(!_has_any(version, ";\r\n"));
    }
    const SortedBuildList sorted = UpdateServerRequest::SortBuildsByVersion(builds);
    _check(sorted.size() == builds.size());
}

void _recovery_info(bool ok)
{
    const uint32_t fingerprint[4] = {1, 2, 3, 4};
    uint32_t serial = 0xDEADDEAD, build = 0xDEADDEAD;
    const bool result = UpdateServerRequest::GetRecoveryInfo(fingerprint, serial, build, "http://x/cgi/u");
    _check(result == ok);
    if (!result)
        _check(serial == 0xDEADDEAD && build == 0xDEADDEAD);
}

void _device_jwt(bool ok)
{
    std::string token = UNTOUCHED;
    const bool result = UpdateServerRequest::GetDeviceJWT(0x40F5849A, token, "http://x/cgi/u");
    if (!ok)
        _check(!result);
    if (!result) {
        _check(token == UNTOUCHED);
        return;
    }
    // header.payload.signature, each at least two characters; the signature may hold
    // dots and ends at a line end (the first two parts are taken as they come).
    const size_t first = token.find('.');
    _check(first != std::string::npos && first >= 2);
    const size_t second = token.find('.', first + 1);
    _check(second != std::string::npos && second - first - 1 >= 2 && token.size() - second - 1 >= 2);
    _check(!_has_any(token, "\n") && !_has_any(token.substr(second + 1), "\r"));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3)
        return 0;
    static const long other_status[] = {0, 199, 201, 204, 301, 404, 500, 503};
    UpdateServerRequest::transport = _canned_get;
    canned.status = data[1] < 0xE0 ? 200 : other_status[data[1] % 8];
    canned.fails = data[2] == 0xFF;
    canned.body.assign(reinterpret_cast<const char*>(data + 3), size - 3);
    const bool ok = _ok_reply();
    switch (data[0] % 6) {
    case 0:
        _check(UpdateServerRequest::ping("http://x/cgi/u") == ok);
        break;
    case 1:
        _query_build(ok);
        break;
    case 2:
        _get_build(ok);
        break;
    case 3:
        _build_list(ok);
        break;
    case 4:
        _recovery_info(ok);
        break;
    default:
        _device_jwt(ok);
        break;
    }
    return 0;
}
