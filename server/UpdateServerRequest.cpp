#include "server/UpdateServerRequest.h"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "common/Log.h"
#include "server/HTTPRequest.h"

const char* const UpdateServerRequest::default_host = "update.kestrune.example";
const char* const UpdateServerRequest::default_url = "http://update.kestrune.example/cgi/u";
const char* const UpdateServerRequest::default_https_url = "https://update.kestrune.example/cgi/u";

namespace {

using Parameters = std::map<std::string, std::string>;
using Lines = std::vector<std::string>;

std::string _hex8(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X", value);
    return text;
}

// The body's lines: split at line feeds, empty lines dropped.
Lines _split_lines(const std::string& body) {
    Lines lines;
    size_t start = 0;
    while (start <= body.size()) {
        size_t end = body.find('\n', start);
        if (end == std::string::npos) end = body.size();
        if (end > start) lines.push_back(body.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// A field ends at the first of the given characters.
std::string _until(const std::string& text, const char* stops) {
    return text.substr(0, text.find_first_of(stops));
}

// One exchange: the reply must be status 200 with a first line beginning "ok".
bool _request(const char* op, const char* url, Parameters& parameters, Lines& lines) {
    if (!url) url = UpdateServerRequest::default_url;
    try {
        HTTPResponse response = HTTPRequest::GET(url, parameters);
        if (response.get_status() != 200) {
            if (std::string(op) == "ping")
                Log::log(DEBUG_ServerComm, "PING ==> [%d] [%s]\n",
                         static_cast<int>(response.get_status()), response.get_response());
            else
                Log::log(DEBUG_ServerComm, "%s ==> [%d] [%s]\n", op,
                         static_cast<int>(response.get_status()), response.get_response());
            return false;
        }
        lines = _split_lines(response.get_response());
        if (lines.empty() || lines[0].compare(0, 2, "ok") != 0) {
            Log::log(DEBUG_ServerComm, "ServerCommClass: %s failed [%s]\n", op,
                     response.get_request());
            return false;
        }
        return true;
    } catch (const std::exception& e) {
        Log::log(DEBUG_ServerComm, "%s ==> [%s]\n", op, e.what());
        return false;
    }
}

const char* _line(const Lines& lines, size_t index) {
    return index < lines.size() ? lines[index].c_str() : "";
}

}  // namespace

bool UpdateServerRequest::ping(const char* url) {
    Parameters parameters{{"op", "hi"}, {"rv", "2"}};
    Lines lines;
    return _request("ping", url, parameters, lines);
}

bool UpdateServerRequest::QueryBuild(unsigned serial, std::string& build, std::string& firmware,
                                     const char* url) {
    Parameters parameters{{"op", "qu"}, {"sn", _hex8(serial)}};
    Lines lines;
    if (!_request("QueryBuild", url, parameters, lines)) return false;
    if (lines.size() > 1) build = lines[1];
    if (lines.size() > 2) firmware = _until(lines[2], "\r\n");
    return true;
}

bool UpdateServerRequest::GetBuild(unsigned serial, const std::string& firmware,
                                   const std::string& build, std::string& file, const char* url,
                                   bool no_cal) {
    Parameters parameters{{"bld", build},
                          {"fw", firmware},
                          {"no_cal", no_cal ? "true" : "false"},
                          {"op", "bird"},
                          {"sn", _hex8(serial)}};
    Lines lines;
    if (!_request("GetBuild", url, parameters, lines)) return false;
    file.clear();
    if (lines.size() > 1) file = lines[1];
    return true;
}

bool UpdateServerRequest::GetBuildList(unsigned serial, BuildList& builds, const char* url) {
    builds.clear();
    Parameters parameters{{"op", "builds"}, {"sn", _hex8(serial)}};
    Lines lines;
    if (!_request("GetBuildList", url, parameters, lines)) return false;
    for (size_t i = 1; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        if (line.size() <= 2) continue;
        Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", "GetBuildList", line.c_str());
        const size_t end = line.find_first_of(";\r");
        const std::string build = line.substr(0, end);
        if (build.empty()) continue;
        std::string version;
        if (end != std::string::npos && line[end] == ';')
            version = _until(line.substr(end + 1), ";\r\n");
        builds.emplace(build, version);
        Log::log(DEBUG_ServerComm, "%s [%.10s][%.10s]\n", "GetBuildList", build.c_str(),
                 version.c_str());
    }
    return true;
}

bool UpdateServerRequest::GetRecoveryInfo(const uint32_t* fingerprint, uint32_t& serial,
                                          uint32_t& build, const char* url) {
    char fp[64];
    std::snprintf(fp, sizeof fp, "%08X%%20%08X%%20%08X%%20%08X", fingerprint[0], fingerprint[1],
                  fingerprint[2], fingerprint[3]);
    Parameters parameters{{"brief", "true"}, {"fp", fp}, {"op", "fix"}};
    Lines lines;
    if (!_request("GetRecoveryInfo", url, parameters, lines)) return false;
    if (lines.size() > 1) serial = static_cast<uint32_t>(std::strtoul(lines[1].c_str(), nullptr, 16));
    if (lines.size() > 2) build = static_cast<uint32_t>(std::strtoul(lines[2].c_str(), nullptr, 0));
    Log::log(DEBUG_ServerComm, "%s [%.20s][%.20s][%.20s]\n", "GetRecoveryInfo", _line(lines, 0),
             _line(lines, 1), _line(lines, 2));
    return true;
}

bool UpdateServerRequest::GetDeviceJWT(unsigned serial, std::string& token, const char* url) {
    Parameters parameters{{"json", "false"}, {"op", "ent_jwt"}, {"sn", _hex8(serial)}};
    Lines lines;
    if (!_request("GetDeviceJWT", url, parameters, lines)) return false;
    if (lines.size() < 2 || lines[1].size() < 3) return false;
    const std::string& line = lines[1];
    Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", "GetDeviceJWT", line.c_str());

    const size_t first = line.find('.');
    if (first == std::string::npos) return false;
    const size_t second = line.find('.', first + 1);
    if (second == std::string::npos) return false;
    const std::string header = line.substr(0, first);
    const std::string payload = line.substr(first + 1, second - first - 1);
    const std::string signature = _until(line.substr(second + 1), "\r\n");
    if (header.size() < 2 || payload.size() < 2 || signature.size() < 2) return false;
    token = header + "." + payload + "." + signature;
    return true;
}
