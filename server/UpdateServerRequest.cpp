#include "server/UpdateServerRequest.h"

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string_view>

#include "common/Log.h"
#include "server/HTTPRequest.h"

const char* const UpdateServerRequest::default_host = "update.kestrune.example";
const char* const UpdateServerRequest::default_url = "http://update.kestrune.example/cgi/u";
const char* const UpdateServerRequest::default_https_url = "https://update.kestrune.example/cgi/u";
UpdateServerRequest::Transport UpdateServerRequest::transport = &HTTPRequest::GET;

namespace {

using Parameters = std::map<std::string, std::string>;

// A reply's lines point into its body, which the reply keeps.
struct Reply {
    std::optional<HTTPResponse> response;
    std::vector<std::string_view> lines;
};

std::string _hex8(unsigned value)
{
    char text[16];
    std::snprintf(text, sizeof text, "%08X", value);
    return text;
}

// The body's lines: split at line feeds, empty lines dropped.
std::vector<std::string_view> _split_lines(std::string_view body)
{
    std::vector<std::string_view> lines;
    size_t start = 0;
    while (start <= body.size()) {
        size_t end = body.find('\n', start);
        if (end == std::string_view::npos)
            end = body.size();
        if (end > start)
            lines.push_back(body.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// A field ends at the first of the given characters.
std::string _until(std::string_view text, const char* stops)
{
    return std::string(text.substr(0, text.find_first_of(stops)));
}

// One exchange: the reply must be status 200 with a first line beginning "ok".
bool _request(const char* op, const char* url, Parameters& parameters, Reply& reply)
{
    if (!url)
        url = UpdateServerRequest::default_url;
    try {
        reply.response.emplace(UpdateServerRequest::transport(url, parameters));
        const HTTPResponse& response = *reply.response;
        if (response.get_status() != 200) {
            if (std::string_view(op) == "ping")
                Log::log(DEBUG_ServerComm, "PING ==> [%d] [%s]\n", static_cast<int>(response.get_status()),
                         response.get_response());
            else
                Log::log(DEBUG_ServerComm, "%s ==> [%d] [%s]\n", op, static_cast<int>(response.get_status()),
                         response.get_response());
            return false;
        }
        reply.lines = _split_lines(response.get_response());
        if (reply.lines.empty() || reply.lines[0].substr(0, 2) != "ok") {
            Log::log(DEBUG_ServerComm, "ServerCommClass: %s failed [%s]\n", op, response.get_request());
            return false;
        }
        return true;
    } catch (const std::exception& e) {
        Log::log(DEBUG_ServerComm, "%s ==> [%s]\n", op, e.what());
        return false;
    }
}

std::string _line(const Reply& reply, size_t index)
{
    return index < reply.lines.size() ? std::string(reply.lines[index]) : std::string();
}

}  // namespace

bool UpdateServerRequest::ping(const char* url)
{
    Parameters parameters{{"op", "hi"}, {"rv", "2"}};
    Reply reply;
    return _request("ping", url, parameters, reply);
}

bool UpdateServerRequest::QueryBuild(unsigned serial, std::string& build, std::string& firmware, const char* url)
{
    Parameters parameters{{"op", "qu"}, {"sn", _hex8(serial)}};
    Reply reply;
    if (!_request("QueryBuild", url, parameters, reply))
        return false;
    if (reply.lines.size() > 1)
        build = reply.lines[1];
    if (reply.lines.size() > 2)
        firmware = _until(reply.lines[2], "\r\n");
    return true;
}

bool UpdateServerRequest::GetBuild(unsigned serial, const std::string& firmware, const std::string& build,
                                   std::string& file, const char* url, bool no_cal)
{
    Parameters parameters{
        {"bld", build}, {"fw", firmware}, {"no_cal", no_cal ? "true" : "false"}, {"op", "bird"}, {"sn", _hex8(serial)}};
    Reply reply;
    if (!_request("GetBuild", url, parameters, reply))
        return false;
    file.clear();
    if (reply.lines.size() < 2)
        return true;
    // The image is nearly all of the body: cut the body down to it rather than copy it.
    const size_t start = reply.lines[1].data() - reply.response->get_response();
    const size_t length = reply.lines[1].size();
    file = reply.response->take_response();
    file.resize(start + length);
    file.erase(0, start);
    return true;
}

bool UpdateServerRequest::GetBuildList(unsigned serial, BuildList& builds, const char* url)
{
    builds.clear();
    Parameters parameters{{"op", "builds"}, {"sn", _hex8(serial)}};
    Reply reply;
    if (!_request("GetBuildList", url, parameters, reply))
        return false;
    for (size_t i = 1; i < reply.lines.size(); ++i) {
        const std::string line(reply.lines[i]);
        if (line.size() <= 2)
            continue;
        Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", "GetBuildList", line.c_str());
        const size_t end = line.find_first_of(";\r");
        const std::string build = line.substr(0, end);
        if (build.empty())
            continue;
        std::string version;
        if (end != std::string::npos && line[end] == ';')
            version = _until(line.substr(end + 1), ";\r\n");
        builds.emplace(build, version);
        Log::log(DEBUG_ServerComm, "%s [%.10s][%.10s]\n", "GetBuildList", build.c_str(), version.c_str());
    }
    return true;
}

bool UpdateServerRequest::GetRecoveryInfo(const uint32_t* fingerprint, uint32_t& serial, uint32_t& build,
                                          const char* url)
{
    char fp[64];
    std::snprintf(fp, sizeof fp, "%08X%%20%08X%%20%08X%%20%08X", fingerprint[0], fingerprint[1], fingerprint[2],
                  fingerprint[3]);
    Parameters parameters{{"brief", "true"}, {"fp", fp}, {"op", "fix"}};
    Reply reply;
    if (!_request("GetRecoveryInfo", url, parameters, reply))
        return false;
    if (reply.lines.size() > 1)
        serial = static_cast<uint32_t>(std::strtoul(_line(reply, 1).c_str(), nullptr, 16));
    if (reply.lines.size() > 2)
        build = static_cast<uint32_t>(std::strtoul(_line(reply, 2).c_str(), nullptr, 0));
    Log::log(DEBUG_ServerComm, "%s [%.20s][%.20s][%.20s]\n", "GetRecoveryInfo", _line(reply, 0).c_str(),
             _line(reply, 1).c_str(), _line(reply, 2).c_str());
    return true;
}

bool UpdateServerRequest::GetDeviceJWT(unsigned serial, std::string& token, const char* url)
{
    Parameters parameters{{"json", "false"}, {"op", "ent_jwt"}, {"sn", _hex8(serial)}};
    Reply reply;
    if (!_request("GetDeviceJWT", url, parameters, reply))
        return false;
    if (reply.lines.size() < 2 || reply.lines[1].size() < 3)
        return false;
    const std::string line(reply.lines[1]);
    Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", "GetDeviceJWT", line.c_str());

    const size_t first = line.find('.');
    if (first == std::string::npos)
        return false;
    const size_t second = line.find('.', first + 1);
    if (second == std::string::npos)
        return false;
    const std::string header = line.substr(0, first);
    const std::string payload = line.substr(first + 1, second - first - 1);
    const std::string signature = _until(line.substr(second + 1), "\r\n");
    if (header.size() < 2 || payload.size() < 2 || signature.size() < 2)
        return false;
    token = header + "." + payload + "." + signature;
    return true;
}
