#include "agent/DdiMessages.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include <nlohmann/json.hpp>

namespace {

using json = nlohmann::json;

// The server stores at most this many messages per feedback, the status code's own
// included; the rest of a long console is left out.
constexpr size_t MAX_DETAILS = 40;
constexpr size_t MAX_DETAIL_LENGTH = 512;
constexpr size_t MAX_ATTRIBUTE_LENGTH = 128;
constexpr uint32_t MAX_SLEEP_SECONDS = 366u * 24 * 3600;

std::string _href(const json& links, const char* name)
{
    if (!links.is_object() || !links.contains(name))
        return "";
    const json& link = links[name];
    if (!link.is_object() || !link.contains("href") || !link["href"].is_string())
        return "";
    return link["href"].get<std::string>();
}

bool _handling(const json& deployment, const char* name, DdiHandling& handling, std::string& error)
{
    if (!deployment.contains(name))
        return true;  // as forced: the server always names both
    const json& value = deployment[name];
    const std::string text = value.is_string() ? value.get<std::string>() : "";
    if (text == "skip")
        handling = DdiHandling::Skip;
    else if (text == "attempt")
        handling = DdiHandling::Attempt;
    else if (text == "forced")
        handling = DdiHandling::Forced;
    else {
        error = std::string("unknown ") + name + " type";
        return false;
    }
    return true;
}

std::string _lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool _artifact(const json& item, DdiArtifact& artifact)
{
    if (!item.is_object() || !item.contains("filename") || !item["filename"].is_string())
        return false;
    artifact.filename = item["filename"].get<std::string>();
    if (item.contains("size") && item["size"].is_number_unsigned())
        artifact.size = item["size"].get<uint64_t>();
    if (item.contains("hashes") && item["hashes"].is_object()) {
        const json& hashes = item["hashes"];
        if (hashes.contains("sha256") && hashes["sha256"].is_string())
            artifact.sha256 = _lower(hashes["sha256"].get<std::string>());
        if (hashes.contains("sha1") && hashes["sha1"].is_string())
            artifact.sha1 = _lower(hashes["sha1"].get<std::string>());
    }
    const json links = item.value("_links", json::object());
    artifact.href = _href(links, "download");
    if (artifact.href.empty())
        artifact.href = _href(links, "download-http");
    return !artifact.href.empty();
}

bool _allowed_attribute_char(unsigned char c)
{
    static const char SPECIALS[] = "_-!@#$%^&*()+=[]{}|;:'\",.<>/\\? ";
    return std::isalnum(c) || (c && std::strchr(SPECIALS, c));
}

std::string _attribute_text(const std::string& text)
{
    std::string clean = text.substr(0, MAX_ATTRIBUTE_LENGTH);
    for (char& c : clean)
        if (!_allowed_attribute_char(static_cast<unsigned char>(c)))
            c = '_';
    return clean;
}

// Reads a decimal number (with a fraction for seconds) ending at one of the unit
// letters; false at anything else.
bool _iso_part(const char*& p, double& value, char& unit)
{
    char* end = nullptr;
    if (!std::isdigit(static_cast<unsigned char>(*p)))
        return false;
    value = std::strtod(p, &end);
    if (end == p || !*end)
        return false;
    unit = *end;
    p = end + 1;
    return true;
}

std::optional<uint32_t> _iso_seconds(const std::string& text)
{
    const char* p = text.c_str();
    if (*p++ != 'P' || !*p)
        return std::nullopt;
    double seconds = 0;
    bool inTime = false;
    bool any = false;
    while (*p) {
        if (*p == 'T' && !inTime) {
            inTime = true;
            ++p;
            continue;
        }
        double value = 0;
        char unit = 0;
        if (!_iso_part(p, value, unit))
            return std::nullopt;
        if (!inTime && unit == 'D')
            seconds += value * 86400;
        else if (inTime && unit == 'H')
            seconds += value * 3600;
        else if (inTime && unit == 'M')
            seconds += value * 60;
        else if (inTime && unit == 'S')
            seconds += value;
        else
            return std::nullopt;
        any = true;
    }
    if (!any || seconds > MAX_SLEEP_SECONDS)
        return std::nullopt;
    return static_cast<uint32_t>(std::ceil(seconds));
}

}  // namespace

std::string _ddi_action_id(const std::string& href)
{
    for (const char* resource : {"/deploymentBase/", "/cancelAction/"}) {
        const size_t at = href.find(resource);
        if (at == std::string::npos)
            continue;
        const size_t start = at + std::strlen(resource);
        const size_t end = href.find_first_of("/?#", start);
        return href.substr(start, end == std::string::npos ? std::string::npos : end - start);
    }
    return "";
}

const DdiArtifact* _ddi_artifact_for(const DdiDeployment& deployment, const std::string& model)
{
    const DdiArtifact* only = nullptr;
    size_t chunks = 0;
    std::string lastChunk;
    for (const DdiArtifact& artifact : deployment.artifacts) {
        if (!model.empty() && _lower(artifact.chunk) == _lower(model))
            return &artifact;
        if (chunks == 0 || artifact.chunk != lastChunk) {
            ++chunks;
            lastChunk = artifact.chunk;
        }
        const std::string name = _lower(artifact.filename);
        const bool bird = name.size() > 5 && name.compare(name.size() - 5, 5, ".bird") == 0;
        if (!only || (bird && _lower(only->filename).find(".bird") == std::string::npos))
            only = &artifact;
    }
    return chunks == 1 ? only : nullptr;
}

std::optional<uint32_t> _ddi_seconds(const std::string& text)
{
    unsigned hours = 0, minutes = 0, seconds = 0;
    int used = 0;
    if (std::sscanf(text.c_str(), "%2u:%2u:%2u%n", &hours, &minutes, &seconds, &used) == 3 &&
        used == static_cast<int>(text.size()) && minutes < 60 && seconds < 60)
        return hours * 3600 + minutes * 60 + seconds;
    return _iso_seconds(text);
}

bool _ddi_parse_poll(const std::string& body, DdiPoll& poll, std::string& error)
{
    const json document = json::parse(body, nullptr, false);
    if (!document.is_object()) {
        error = "the poll's answer is no JSON object";
        return false;
    }
    poll = DdiPoll();
    const json sleep = document.value("config", json::object()).value("polling", json::object()).value("sleep", json());
    if (sleep.is_string())
        poll.sleepSeconds = _ddi_seconds(sleep.get<std::string>());
    const json links = document.value("_links", json::object());
    poll.deploymentHref = _href(links, "deploymentBase");
    poll.cancelHref = _href(links, "cancelAction");
    poll.wantsConfigData = !_href(links, "configData").empty();
    return true;
}

bool _ddi_parse_deployment(const std::string& body, DdiDeployment& deployment, std::string& error)
{
    const json document = json::parse(body, nullptr, false);
    if (!document.is_object() || !document.contains("deployment") || !document["deployment"].is_object()) {
        error = "the deployment is no JSON object with a deployment";
        return false;
    }
    deployment = DdiDeployment();
    const json& id = document.value("id", json());
    deployment.actionId = id.is_string() ? id.get<std::string>() : id.is_number() ? id.dump() : "";
    const json& base = document["deployment"];
    if (!_handling(base, "download", deployment.download, error) ||
        !_handling(base, "update", deployment.update, error))
        return false;
    if (base.contains("maintenanceWindow")) {
        const json& window = base["maintenanceWindow"];
        deployment.windowAvailable = window.is_string() && window.get<std::string>() == "available";
    }
    for (const json& chunk : base.value("chunks", json::array())) {
        if (!chunk.is_object())
            continue;
        for (const json& item : chunk.value("artifacts", json::array())) {
            DdiArtifact artifact;
            if (!_artifact(item, artifact))
                continue;
            if (chunk.contains("name") && chunk["name"].is_string())
                artifact.chunk = chunk["name"].get<std::string>();
            if (deployment.version.empty() && chunk.contains("version") && chunk["version"].is_string())
                deployment.version = chunk["version"].get<std::string>();
            deployment.artifacts.push_back(artifact);
        }
    }
    return true;
}

std::string _ddi_feedback(const std::string& execution, const std::string& finished,
                          const std::vector<std::string>& details)
{
    json lines = json::array();
    const size_t first = details.size() > MAX_DETAILS ? details.size() - MAX_DETAILS : 0;
    for (size_t i = first; i < details.size(); ++i)
        lines.push_back(details[i].substr(0, MAX_DETAIL_LENGTH));
    json status = {{"execution", execution}, {"result", {{"finished", finished}}}};
    if (!lines.empty())
        status["details"] = lines;
    return json{{"status", status}}.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string _ddi_config_data(const std::map<std::string, std::string>& attributes)
{
    json data = json::object();
    for (const auto& [key, value] : attributes)
        if (!key.empty() && !value.empty())
            data[_attribute_text(key)] = _attribute_text(value);
    return json{{"mode", "merge"}, {"data", data}}.dump(-1, ' ', false, json::error_handler_t::replace);
}
