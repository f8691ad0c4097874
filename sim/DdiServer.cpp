#include "sim/DdiServer.h"

#include <httplib.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <fstream>
#include <iterator>
#include <sstream>

#include "sim/UpdateServerCatalog.h"

namespace Sim {

using nlohmann::json;

namespace {

const char* const HAL_JSON = "application/hal+json";
const char* const REQUEST_KINDS[] = {"poll", "config", "deployment", "feedback", "cancel", "download", "all"};

std::string _upper(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
    return text;
}

std::vector<std::string> _parts(const std::string& path)
{
    std::vector<std::string> parts;
    std::istringstream in(path);
    std::string part;
    while (std::getline(in, part, '/'))
        if (!part.empty())
            parts.push_back(part);
    return parts;
}

bool _number(const std::string& text, uint64_t& value)
{
    if (text.empty() || text.size() > 18 || !std::all_of(text.begin(), text.end(), ::isdigit))
        return false;
    value = std::stoull(text);
    return true;
}

void _error(httplib::Response& response, int status, const std::string& code = "", const std::string& message = "")
{
    response.status = status;
    if (status != 401 && !code.empty())
        response.set_content(json{{"exceptionClass", "Simulated"}, {"errorCode", code}, {"message", message}}.dump(),
                             "application/json");
}

// A path segment: everything but the unreserved characters percent-encoded.
std::string _encode(const std::string& text)
{
    static const char* const hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

// controllerId: 1 to 256 characters, no whitespace.
bool _valid_controller(const std::string& id)
{
    return !id.empty() && id.size() <= 256 &&
           std::none_of(id.begin(), id.end(), [](unsigned char c) { return std::isspace(c); });
}

bool _valid_attribute_text(const std::string& text)
{
    static const std::string extra = "_-!@#$%^&*()+=[]{}|;:'\",.<>/\\?";
    return text.size() <= 128 && std::all_of(text.begin(), text.end(), [](unsigned char c) {
               return std::isalnum(c) || std::isspace(c) || extra.find(static_cast<char>(c)) != std::string::npos;
           });
}

bool _json_body(const httplib::Request& request, httplib::Response& response, json& body)
{
    const std::string type = request.get_header_value("Content-Type");
    if (type.rfind("application/json", 0) != 0) {
        _error(response, 415, "hawkbit.server.error.rest.body.notReadable", "unsupported content type " + type);
        return false;
    }
    body = json::parse(request.body, nullptr, false);
    if (body.is_discarded()) {
        _error(response, 400, "hawkbit.server.error.rest.body.notReadable", "unreadable body");
        return false;
    }
    return true;
}

bool _is_enum(const json& value, std::initializer_list<const char*> words)
{
    if (!value.is_string())
        return false;
    const std::string& text = value.get_ref<const std::string&>();
    return std::any_of(words.begin(), words.end(), [&](const char* w) { return text == w; });
}

// The status of a feedback body; false when a required field is missing or of a wrong kind.
bool _parse_status(const json& body, DdiStatus& status)
{
    if (!body.is_object() || !body.contains("status") || !body["status"].is_object())
        return false;
    if (body.contains("timestamp") && !body["timestamp"].is_number_integer())
        return false;
    const json& s = body["status"];
    if (!s.contains("execution") || !_is_enum(s["execution"], {"closed", "proceeding", "canceled", "scheduled",
                                                               "rejected", "resumed", "downloaded", "download"}))
        return false;
    if (!s.contains("result") || !s["result"].is_object() || !s["result"].contains("finished") ||
        !_is_enum(s["result"]["finished"], {"success", "failure", "none"}))
        return false;
    if (s.contains("code") && !s["code"].is_number_integer())
        return false;
    status.execution = s["execution"].get<std::string>();
    status.finished = s["result"]["finished"].get<std::string>();
    if (s.contains("details")) {
        if (!s["details"].is_array())
            return false;
        for (const json& d : s["details"]) {
            if (!d.is_string())
                return false;
            status.details.push_back(d.get<std::string>());
        }
    }
    return true;
}

// "bytes=a-b", "bytes=a-", "bytes=-n" over a body of `size` bytes; false when it is
// malformed, reversed or outside the body (several ranges are not served here).
bool _range(const std::string& header, uint64_t size, uint64_t& first, uint64_t& last)
{
    if (header.rfind("bytes=", 0) != 0 || header.find(',') != std::string::npos)
        return false;
    const std::string spec = header.substr(6);
    const size_t dash = spec.find('-');
    if (dash == std::string::npos)
        return false;
    uint64_t a = 0, b = 0;
    const std::string left = spec.substr(0, dash), right = spec.substr(dash + 1);
    if (left.empty()) {
        if (!_number(right, b) || b == 0 || size == 0)
            return false;
        first = b >= size ? 0 : size - b;
        last = size - 1;
        return true;
    }
    if (!_number(left, a) || a >= size)
        return false;
    if (right.empty())
        b = size - 1;
    else if (!_number(right, b) || b < a)
        return false;
    first = a;
    last = std::min(b, size - 1);
    return true;
}

json _action_json(const DdiAction& action)
{
    json feedback = json::array();
    for (const DdiStatus& s : action.statuses)
        feedback.push_back({{"execution", s.execution},
                            {"finished", s.finished},
                            {"details", s.details},
                            {"channel", s.cancelChannel ? "cancel" : "deployment"}});
    return {{"id", std::to_string(action.id)},
            {"controllerId", action.deployment.controllerId},
            {"file", action.deployment.file},
            {"version", action.deployment.version},
            {"status", DdiStateName(action.state)},
            {"result", action.result},
            {"feedback", feedback}};
}

}  // namespace

bool DdiFault::Parse(const std::string& text, DdiFault& fault, std::string& error)
{
    fault = DdiFault{};
    std::string spec = text;
    // A trailing "xN": the fault answers N requests, then no more.
    if (const size_t x = spec.rfind('x'); x != std::string::npos && x + 1 < spec.size()) {
        uint32_t times = 0;
        if (ParseDecimal32(spec.substr(x + 1), times) && times > 0) {
            fault.times = static_cast<int>(times);
            spec.resize(x);
        }
    }
    if (const size_t at = spec.find('@'); at != std::string::npos) {
        fault.on = spec.substr(at + 1);
        spec.resize(at);
        if (std::find(std::begin(REQUEST_KINDS), std::end(REQUEST_KINDS), fault.on) == std::end(REQUEST_KINDS)) {
            error = "unknown request kind in fault " + text;
            return false;
        }
    }
    const size_t eq = spec.find('=');
    const std::string name = spec.substr(0, eq);
    uint32_t value = 0;
    const bool has_value = eq != std::string::npos && ParseDecimal32(spec.substr(eq + 1), value);
    fault.value = static_cast<int>(value);
    if (name == "status" && has_value && value >= 100 && value <= 599)
        fault.kind = Status;
    else if (name == "stall" && has_value && value <= 3600000)
        fault.kind = Stall;
    else if (spec == "cut")
        fault.kind = Cut;
    else if (spec == "unauthorized")
        fault.kind = Unauthorized;
    else {
        error = "unknown fault: " + text;
        return false;
    }
    if ((fault.kind == Stall || fault.kind == Cut) && fault.on != "download") {
        error = "fault " + name + " only applies @download: " + text;
        return false;
    }
    return true;
}

DdiServer::DdiServer(DdiServerOptions options) : options_(std::move(options)), faults_(options_.faults) {}

DdiServer::~DdiServer()
{
    Stop();
    if (record_file_)
        std::fclose(record_file_);
}

bool DdiServer::Start(std::string& error)
{
    for (const std::string& line : options_.script) {
        DdiDeployment deployment;
        uint64_t id = 0;
        if (!DdiDeployment::Parse(line, deployment, error) ||
            !book_.Deploy(deployment, options_.artifacts_dir, id, error))
            return false;
    }
    if (!options_.record_path.empty()) {
        record_file_ = std::fopen(options_.record_path.c_str(), "a");
        if (!record_file_) {
            error = "cannot write " + options_.record_path;
            return false;
        }
    }
    auto server = std::make_unique<httplib::Server>();
    server->set_tcp_nodelay(true);
    // Each module of a gateway keeps a connection; a stalled download holds a thread.
    server->new_task_queue = [] { return new httplib::ThreadPool(64); };
    auto ddi = [this](const httplib::Request& req, httplib::Response& res) {
        if (req.path.rfind("/sim/", 0) == 0)
            _lab(req, res);
        else
            _ddi(req, res);
    };
    server->Get(".*", ddi);
    server->Post(".*", ddi);
    server->Put(".*", ddi);
    return host_.Start(std::move(server), options_.host, options_.port, error);
}

void DdiServer::Stop()
{
    if (!host_.Started())
        return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    stopping_.notify_all();
    host_.Stop();
}

std::string DdiServer::Url() const
{
    return "http://" + options_.host + ":" + std::to_string(host_.Port());
}

json DdiServer::Record() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return record_;
}

bool DdiServer::_split(const std::string& path, std::string& controllerId, std::vector<std::string>& rest) const
{
    const std::vector<std::string> parts = _parts(path);
    if (parts.size() < 4 || _upper(parts[0]) != _upper(options_.tenant) || parts[1] != "controller" || parts[2] != "v1")
        return false;
    controllerId = httplib::detail::decode_url(parts[3], false);
    rest.assign(parts.begin() + 4, parts.end());
    return true;
}

const char* DdiServer::_kind(const std::string& method, const std::vector<std::string>& rest) const
{
    if (rest.empty())
        return "poll";
    if (rest[0] == "configData")
        return "config";
    if (rest[0] == "softwaremodules")
        return "download";
    const bool feedback = rest.size() == 3 && rest[2] == "feedback" && method == "POST";
    if (rest[0] == "deploymentBase" || rest[0] == "installedBase")
        return feedback ? "feedback" : "deployment";
    if (rest[0] == "cancelAction")
        return feedback ? "feedback" : "cancel";
    return "other";
}

std::optional<DdiFault> DdiServer::_fault(const std::string& kind)
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (DdiFault& fault : faults_) {
        if (fault.times == 0 || (fault.on != "all" && fault.on != kind))
            continue;
        if (fault.kind == DdiFault::Cut || fault.kind == DdiFault::Stall)
            continue;  // decided when a download's bytes go out
        if (fault.times > 0)
            --fault.times;
        return fault;
    }
    return std::nullopt;
}

bool DdiServer::_over_rate(bool get)
{
    if (!options_.limit_rate)
        return false;
    const int64_t second =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
    std::lock_guard<std::mutex> lock(mutex_);
    if (second != rate_second_) {
        rate_second_ = second;
        rate_gets_ = rate_others_ = 0;
    }
    return get ? ++rate_gets_ > 200 : ++rate_others_ > 50;
}

void DdiServer::_note(json entry)
{
    std::lock_guard<std::mutex> lock(mutex_);
    entry["seq"] = record_.size();
    if (record_file_) {
        std::fprintf(record_file_, "%s\n", entry.dump().c_str());
        std::fflush(record_file_);
    }
    record_.push_back(std::move(entry));
}

bool DdiServer::_pause(int milliseconds)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return !stopping_.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return stop_; });
}

void DdiServer::_ddi(const httplib::Request& request, httplib::Response& response)
{
    std::string controllerId;
    std::vector<std::string> rest;
    if (!_split(request.path, controllerId, rest)) {
        _error(response, 404, "hawkbit.server.error.repo.entitiyNotFound", "no such resource");
        return;
    }
    const std::string kind = _kind(request.method, rest);
    json entry = {{"kind", kind}, {"controllerId", controllerId}, {"method", request.method}};
    if (rest.size() >= 2)
        entry["actionId"] = rest[1];
    const std::string token = request.get_header_value("Authorization");
    const std::optional<DdiFault> fault = _fault(kind);
    if ((fault && fault->kind == DdiFault::Unauthorized) ||
        (!options_.gateway_token.empty() && token != "GatewayToken " + options_.gateway_token)) {
        _error(response, 401);
    } else if (fault && fault->kind == DdiFault::Status) {
        _error(response, fault->value, "hawkbit.server.error.simulated", "injected fault");
    } else if (_over_rate(request.method == "GET")) {
        _error(response, 429, "hawkbit.server.error.quota.tooManyRequests", "too many requests");
    } else if (!_valid_controller(controllerId)) {
        _error(response, 400, "hawkbit.server.error.repo.constraintViolation", "invalid controllerId");
    } else {
        const std::string base = Url() + "/" + _parts(request.path)[0] + "/controller/v1/" + _encode(controllerId);
        uint64_t id = 0;
        const bool numbered = rest.size() >= 2 && _number(rest[1], id);
        if (kind == "poll" && request.method == "GET")
            _poll(controllerId, base, response);
        else if (kind == "config" && request.method == "PUT" && rest.size() == 1)
            _config(controllerId, request, response, entry);
        else if (kind == "feedback" && numbered)
            _feedback(controllerId, id, rest[0] == "cancelAction", request, response, entry);
        else if (kind == "deployment" && numbered && rest.size() == 2 && request.method == "GET")
            _deployment(controllerId, id, rest[0] == "installedBase", base, request, response);
        else if (kind == "cancel" && numbered && rest.size() == 2 && request.method == "GET")
            _cancel(controllerId, id, response);
        else if (kind == "download" && numbered && rest.size() == 4 && rest[2] == "artifacts" &&
                 request.method == "GET")
            _download(controllerId, id, httplib::detail::decode_url(rest[3], false), request, response, entry);
        else if (rest.size() == 3 && rest[2] == "feedback")
            _error(response, 405, "hawkbit.server.error.rest.methodNotAllowed", "method not allowed");
        else
            _error(response, 404, "hawkbit.server.error.repo.entitiyNotFound", "no such resource");
    }
    // Left unset, the HTTP layer answers 200, or 206 to a range.
    entry["status"] = response.status != -1 ? response.status : request.ranges.empty() ? 200 : 206;
    _note(std::move(entry));
}

void DdiServer::_poll(const std::string& controllerId, const std::string& base, httplib::Response& response)
{
    std::optional<DdiAction> offered, installed;
    bool wants = false;
    book_.Poll(controllerId, offered, installed, wants);
    json answer = {{"config", {{"polling", {{"sleep", options_.sleep}}}}}};
    json links = json::object();
    if (offered) {
        const std::string id = std::to_string(offered->id);
        if (offered->state == DdiAction::State::Cancelling)
            links["cancelAction"] = {{"href", base + "/cancelAction/" + id}};
        else
            links["deploymentBase"] = {
                {"href", base + "/deploymentBase/" + id + "?c=" + std::to_string(offered->change)}};
    }
    if (installed)
        links["installedBase"] = {{"href", base + "/installedBase/" + std::to_string(installed->id)}};
    if (wants)
        links["configData"] = {{"href", base + "/configData"}};
    if (!links.empty())
        answer["_links"] = links;
    response.set_content(answer.dump(), HAL_JSON);
}

void DdiServer::_config(const std::string& controllerId, const httplib::Request& request, httplib::Response& response,
                        json& entry)
{
    json body;
    if (!book_.HasTarget(controllerId)) {
        _error(response, 404, "hawkbit.server.error.repo.entitiyNotFound", "unknown target");
        return;
    }
    if (!_json_body(request, response, body))
        return;
    const std::string mode = body.value("mode", "merge");
    if (!body.is_object() || !body.contains("data") || !body["data"].is_object() || body["data"].empty() ||
        (mode != "merge" && mode != "replace" && mode != "remove")) {
        _error(response, 400, "hawkbit.server.error.rest.body.notReadable", "data missing or bad mode");
        return;
    }
    if (body["data"].size() > 100) {
        _error(response, 429, "hawkbit.server.error.quota.maxTargetAttributes", "too many attributes");
        return;
    }
    std::map<std::string, std::optional<std::string>> data;
    for (const auto& [key, value] : body["data"].items()) {
        const bool ok = _valid_attribute_text(key) &&
                        (value.is_null() || (value.is_string() && _valid_attribute_text(value.get<std::string>())));
        if (!ok) {
            _error(response, 400, "hawkbit.server.error.repo.invalidTargetAttributes", "invalid attribute " + key);
            return;
        }
        data[key] = value.is_null() ? std::nullopt : std::optional<std::string>(value.get<std::string>());
    }
    book_.SetAttributes(controllerId, mode, data);
    entry["data"] = body["data"];
}

void DdiServer::_deployment(const std::string& controllerId, uint64_t actionId, bool installed, const std::string& base,
                            const httplib::Request& request, httplib::Response& response)
{
    const std::optional<DdiAction> action = book_.Action(controllerId, actionId);
    // installedBase shows an action that ended well; deploymentBase any other
    // but one being cancelled or cancelled.
    const bool shown =
        action && (installed ? action->state == DdiAction::State::Closed && action->result == "success"
                             : action->state != DdiAction::State::Cancelling && action->result != "canceled");
    if (!shown) {
        _error(response, 404, "hawkbit.server.error.repo.entitiyNotFound", "no such action");
        return;
    }
    const DdiDeployment& d = action->deployment;
    const DdiArtifact& a = action->artifact;
    const std::string href =
        base + "/softwaremodules/" + std::to_string(action->moduleId) + "/artifacts/" + _encode(a.filename);
    json artifact = {{"filename", a.filename},
                     {"size", a.size},
                     {"hashes", {{"sha1", a.sha1}, {"md5", a.md5}, {"sha256", a.sha256}}},
                     {"_links", {{"download-http", {{"href", href}}}, {"md5sum-http", {{"href", href + ".MD5SUM"}}}}}};
    json deployment = {{"download", d.download},
                       {"update", d.window == "unavailable" ? "skip" : d.update},
                       {"chunks", json::array({{{"part", "os"},
                                                {"version", d.version},
                                                {"name", "module firmware"},
                                                {"artifacts", json::array({artifact})}}})}};
    if (!d.window.empty())
        deployment["maintenanceWindow"] = d.window;
    json answer = {{"id", std::to_string(action->id)}, {"deployment", deployment}};
    if (request.has_param("actionHistory")) {
        int wanted = std::atoi(request.get_param_value("actionHistory").c_str());
        if (wanted < 0)
            wanted = 100;
        json messages = json::array();
        for (auto s = action->statuses.rbegin(); s != action->statuses.rend(); ++s)
            for (const std::string& detail : s->details)
                if (messages.size() < static_cast<size_t>(wanted))
                    messages.push_back(detail);
        answer["actionHistory"] = {{"status", action->state == DdiAction::State::Closed ? "FINISHED" : "RUNNING"},
                                   {"messages", messages}};
    }
    response.set_content(answer.dump(), HAL_JSON);
}

void DdiServer::_feedback(const std::string& controllerId, uint64_t actionId, bool cancelChannel,
                          const httplib::Request& request, httplib::Response& response, json& entry)
{
    json body;
    if (!_json_body(request, response, body))
        return;
    DdiStatus status;
    status.cancelChannel = cancelChannel;
    if (!_parse_status(body, status)) {
        _error(response, 400, "hawkbit.server.error.rest.body.notReadable", "invalid feedback");
        return;
    }
    entry["kind"] = cancelChannel ? "cancelFeedback" : "feedback";
    entry["execution"] = status.execution;
    entry["finished"] = status.finished;
    entry["details"] = status.details;
    entry["timestamp"] = body.contains("timestamp");
    const int code = book_.Feedback(controllerId, actionId, status);
    if (code == 404)
        _error(response, 404, "hawkbit.server.error.repo.entitiyNotFound", "no such action");
    else if (code == 405)
        _error(response, 405, "hawkbit.server.error.action.notCancelable", "action is not being canceled");
    else if (code == 410)
        _error(response, 410, "hawkbit.server.error.action.closed", "action is closed");
}

void DdiServer::_cancel(const std::string& controllerId, uint64_t actionId, httplib::Response& response)
{
    const std::optional<DdiAction> action = book_.Action(controllerId, actionId);
    if (!action || action->state != DdiAction::State::Cancelling) {
        _error(response, 404, "hawkbit.server.error.repo.entitiyNotFound", "no cancellation");
        return;
    }
    const std::string id = std::to_string(actionId);
    response.set_content(json{{"id", id}, {"cancelAction", {{"stopId", id}}}}.dump(), HAL_JSON);
}

// A download needs an open action of this target holding the module.
void DdiServer::_download(const std::string& controllerId, uint64_t moduleId, const std::string& name,
                          const httplib::Request& request, httplib::Response& response, json& entry)
{
    std::optional<DdiAction> action;
    for (const DdiAction& a : book_.Actions())
        if (a.moduleId == moduleId && a.deployment.controllerId == controllerId && a.state == DdiAction::State::Open)
            action = a;
    const bool md5sum = action && name == action->artifact.filename + ".MD5SUM";
    entry["actionId"] = action ? std::to_string(action->id) : "";
    entry["file"] = name;
    entry["range"] = request.get_header_value("Range");
    if (!action || (name != action->artifact.filename && !md5sum)) {
        _error(response, 404, "hawkbit.server.error.repo.entitiyNotFound", "no such artifact");
        return;
    }
    const DdiArtifact& a = action->artifact;
    if (md5sum) {
        response.set_content(a.md5 + "  " + a.filename, "text/plain");
        return;
    }
    std::ifstream in(a.path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.eof() && !in.good()) {
        _error(response, 500, "hawkbit.server.error.artifact.loadFailed", "cannot read artifact");
        return;
    }
    const std::string etag = "\"" + a.sha1 + "\"";
    response.set_header("ETag", etag);
    response.set_header("Accept-Ranges", "bytes");
    response.set_header("Content-Disposition", "attachment;filename=" + a.filename);
    if (request.has_header("If-Match") && request.get_header_value("If-Match") != etag) {
        response.status = 412;
        return;
    }
    if (_serve_bytes(action->id, bytes, request, response))
        entry["cut"] = true;
}

bool DdiServer::_serve_bytes(uint64_t actionId, const std::string& bytes, const httplib::Request& request,
                             httplib::Response& response)
{
    auto body = std::make_shared<std::string>(bytes);
    // A valid single range is cut out of the body by the HTTP layer, which
    // answers 206 with its Content-Range.
    if (request.has_header("Range")) {
        uint64_t first = 0, last = 0;
        if (!_range(request.get_header_value("Range"), body->size(), first, last)) {
            response.status = 416;
            response.set_header("Content-Range", "bytes */" + std::to_string(body->size()));
            return false;
        }
        response.set_content_provider(body->size(), "application/octet-stream",
                                      [body](size_t offset, size_t length, httplib::DataSink& sink) {
                                          return sink.write(body->data() + offset, length);
                                      });
        return false;
    }
    bool cut = false, stall = false;
    int pause = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (DdiFault& fault : faults_) {
            if (fault.on != "download" || fault.times == 0)
                continue;
            if (fault.kind == DdiFault::Cut && !cut_.count(actionId)) {
                cut = true;
                cut_.insert(actionId);
            } else if (fault.kind == DdiFault::Stall) {
                stall = true;
                pause = fault.value;
            } else {
                continue;
            }
            if (fault.times > 0)
                --fault.times;
        }
    }
    const size_t half = body->size() / 2;
    response.set_content_provider(
        body->size(), "application/octet-stream",
        [this, body, half, cut, stall, pause](size_t offset, size_t length, httplib::DataSink& sink) {
            if ((cut || stall) && offset < half)
                return sink.write(body->data() + offset, std::min(length, half - offset));
            if (cut)
                return false;  // hang up mid-body
            if (stall && offset == half && !_pause(pause))
                return false;
            return sink.write(body->data() + offset, length);
        });
    return cut;
}

// The lab's API: deployments, cancellations, windows and faults at run time, and
// what the server saw.
void DdiServer::_lab(const httplib::Request& request, httplib::Response& response)
{
    const std::vector<std::string> parts = _parts(request.path);
    const std::string what = parts.size() > 1 ? parts[1] : "";
    uint64_t id = 0;
    const bool numbered = parts.size() > 2 && _number(parts[2], id);
    auto reply = [&](int status, const json& body) {
        response.status = status;
        response.set_content(body.dump(), "application/json");
    };
    if (request.method == "GET" && what == "record") {
        reply(200, Record());
    } else if (request.method == "GET" && what == "actions") {
        json all = json::array();
        for (const DdiAction& action : book_.Actions())
            all.push_back(_action_json(action));
        reply(200, all);
    } else if (request.method == "GET" && what == "targets") {
        json all = json::array();
        for (const DdiTarget& t : book_.Targets())
            all.push_back({{"controllerId", t.controllerId}, {"attributes", t.attributes}, {"polls", t.polls}});
        reply(200, all);
    } else if (request.method == "POST" && what == "deploy") {
        const json body = json::parse(request.body, nullptr, false);
        DdiDeployment d;
        std::string error;
        if (!body.is_object() || !body.contains("controllerId") || !body.contains("file")) {
            reply(400, {{"error", "controllerId and file are required"}});
            return;
        }
        std::string line = "deploy " + body.value("controllerId", "") + " " + body.value("file", "");
        for (const char* key : {"download", "update", "window", "version", "sha256"})
            if (body.contains(key) && body[key].is_string())
                line += std::string(" ") + key + "=" + body[key].get<std::string>();
        if (body.value("cancel", false))
            line += " cancel";
        uint64_t actionId = 0;
        if (!DdiDeployment::Parse(line, d, error) || !book_.Deploy(d, options_.artifacts_dir, actionId, error))
            reply(400, {{"error", error}});
        else
            reply(200, {{"actionId", std::to_string(actionId)}});
    } else if (request.method == "POST" && what == "cancel" && numbered) {
        reply(book_.Cancel(id) ? 200 : 404, json::object());
    } else if (request.method == "POST" && what == "window" && numbered) {
        reply(book_.OpenWindow(id) ? 200 : 404, json::object());
    } else if (request.method == "POST" && what == "faults") {
        const json body = json::parse(request.body, nullptr, false);
        std::vector<DdiFault> faults;
        std::string error;
        if (!body.is_object() || !body.contains("faults") || !body["faults"].is_array()) {
            reply(400, {{"error", "expected {\"faults\": [SPEC, ...]}"}});
            return;
        }
        for (const json& spec : body["faults"]) {
            DdiFault fault;
            if (!spec.is_string() || !DdiFault::Parse(spec.get<std::string>(), fault, error)) {
                reply(400, {{"error", error.empty() ? "faults are strings" : error}});
                return;
            }
            faults.push_back(fault);
        }
        std::lock_guard<std::mutex> lock(mutex_);
        faults_ = std::move(faults);
        response.set_content("{}", "application/json");
    } else {
        reply(404, {{"error", "unknown lab request"}});
    }
}

}  // namespace Sim
