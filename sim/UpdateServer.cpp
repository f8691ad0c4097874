#include "sim/UpdateServer.h"

#include <httplib.h>
#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

#include "sim/Text.h"

namespace Sim {

namespace {

const char* const OPS[] = {"hi", "qu", "bird", "builds", "fix", "ent_jwt"};

std::string _read_file(const std::string& path, bool& ok)
{
    std::ifstream in(path, std::ios::binary);
    ok = static_cast<bool>(in);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string _base64(const std::string& bytes)
{
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int length =
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                        reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    text.resize(length);
    return text;
}

bool _has(const std::vector<ServerFault>& faults, ServerFault::Kind kind, int* value = nullptr)
{
    for (const auto& fault : faults) {
        if (fault.kind != kind)
            continue;
        if (value)
            *value = fault.value;
        return true;
    }
    return false;
}

}  // namespace

bool ServerFault::Parse(const std::string& text, ServerFault& fault, std::string& error)
{
    static const std::pair<const char*, Kind> kinds[] = {{"status", Status},
                                                         {"no-ok", NoOk},
                                                         {"bad-base64", BadBase64},
                                                         {"bad-bird", BadBird},
                                                         {"broken-bird", BrokenBird},
                                                         {"slow", Slow},
                                                         {"cut", Cut},
                                                         {"stall", Stall},
                                                         {"huge", Huge}};
    std::string spec = text;
    fault = ServerFault{};
    if (size_t at = spec.find('@'); at != std::string::npos) {
        fault.op = spec.substr(at + 1);
        spec.resize(at);
        if (std::find(std::begin(OPS), std::end(OPS), fault.op) == std::end(OPS)) {
            error = "unknown operation '" + fault.op + "' in fault " + text;
            return false;
        }
    }
    std::string name = spec, value;
    if (size_t eq = spec.find('='); eq != std::string::npos) {
        name = spec.substr(0, eq);
        value = spec.substr(eq + 1);
    }
    for (const auto& [kind_name, kind] : kinds) {
        if (name != kind_name)
            continue;
        fault.kind = kind;
        const bool needs_value = kind == Status || kind == Slow || kind == Stall || kind == Huge;
        uint32_t number = 0;
        if (needs_value != !value.empty() || (needs_value && (!ParseDecimal32(value, number) || number > 3600000))) {
            error = needs_value ? "fault " + name + " needs a number: " + text
                                : "fault " + name + " takes no value: " + text;
            return false;
        }
        fault.value = static_cast<int>(number);
        return true;
    }
    error = "unknown fault: " + text;
    return false;
}

UpdateServer::UpdateServer(UpdateServerOptions options)
    : options_(std::move(options)), catalog_(options_.firmware_dir, options_.config_path), faults_(options_.faults)
{
}

UpdateServer::~UpdateServer()
{
    Stop();
}

bool UpdateServer::Start(std::string& error)
{
    if (!catalog_.LoadConfig(error))
        return false;
    std::unique_ptr<httplib::Server> server;
    if (!options_.cert.empty() || !options_.key.empty()) {
        auto tls = std::make_unique<httplib::SSLServer>(options_.cert.c_str(), options_.key.c_str());
        if (!tls->is_valid()) {
            error = "cannot use certificate " + options_.cert + " with key " + options_.key;
            return false;
        }
        server = std::move(tls);
    } else {
        server = std::make_unique<httplib::Server>();
    }
    // A reply goes out as headers, then body: without this, a client that keeps its
    // connection for the next request waits out its delayed acknowledgement each time.
    server->set_tcp_nodelay(true);
    server->Get(".*", [this](const httplib::Request& req, httplib::Response& res) { _handle(req, res); });
    return host_.Start(std::move(server), options_.host, options_.port, error);
}

void UpdateServer::Stop()
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

std::string UpdateServer::Url() const
{
    const char* scheme = options_.cert.empty() ? "http" : "https";
    return std::string(scheme) + "://" + options_.host + ":" + std::to_string(host_.Port()) + options_.path;
}

void UpdateServer::SetFaults(std::vector<ServerFault> faults)
{
    std::lock_guard<std::mutex> lock(mutex_);
    faults_ = std::move(faults);
}

std::vector<std::string> UpdateServer::Requests() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

void UpdateServer::_handle(const httplib::Request& request, httplib::Response& response)
{
    const std::string op = request.get_param_value("op");
    std::vector<ServerFault> faults;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(request.target);
        for (const auto& fault : faults_)
            if (fault.op.empty() || fault.op == op)
                faults.push_back(fault);
    }
    int value = 0;
    if (_has(faults, ServerFault::Slow, &value) && !_pause(value))
        return;

    Reply reply = request.path != options_.path ? Reply{404, "error not found\n"}
                  : op == "bird"                ? _image(request, faults)
                                                : _answer(request, op);
    if (_has(faults, ServerFault::NoOk) && reply.body.compare(0, 2, "ok") == 0)
        reply.body.erase(0, reply.body.find('\n') + 1);
    if (_has(faults, ServerFault::Status, &value))
        reply.status = value;
    if (options_.verbose)
        std::fprintf(stderr, "update-server: GET %s -> %d\n", request.target.c_str(), reply.status);

    response.status = reply.status;
    if (_has(faults, ServerFault::Huge, &value)) {
        // Made as it goes out: the server holds one piece, never the whole line.
        const size_t total = static_cast<size_t>(value) << 20;
        response.set_chunked_content_provider("text/plain", [total](size_t offset, httplib::DataSink& sink) {
            static const std::string piece(1 << 16, 'A');
            if (offset == 0)
                return sink.write("ok\n", 3);
            if (offset - 3 >= total) {
                sink.done();
                return true;
            }
            return sink.write(piece.data(), std::min(piece.size(), total - (offset - 3)));
        });
        return;
    }
    if (_has(faults, ServerFault::Cut)) {
        auto body = std::make_shared<std::string>(std::move(reply.body));
        response.set_content_provider(body->size(), "text/plain",
                                      [body](size_t offset, size_t, httplib::DataSink& sink) {
                                          if (offset > 0 || body->size() < 2)
                                              return false;  // hang up mid-body
                                          sink.write(body->data(), body->size() / 2);
                                          return true;
                                      });
        return;
    }
    if (_has(faults, ServerFault::Stall, &value)) {
        auto body = std::make_shared<std::string>(std::move(reply.body));
        response.set_content_provider(body->size(), "text/plain",
                                      [this, body, value](size_t offset, size_t, httplib::DataSink& sink) {
                                          const size_t half = body->size() / 2;
                                          if (offset == 0 && half > 0)
                                              return sink.write(body->data(), half);
                                          if (offset == half && !_pause(value))
                                              return false;
                                          return sink.write(body->data() + offset, body->size() - offset);
                                      });
        return;
    }
    response.set_content(reply.body, "text/plain");
}

bool UpdateServer::_pause(int milliseconds)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return !stopping_.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return stop_; });
}

UpdateServer::Reply UpdateServer::_answer(const httplib::Request& request, const std::string& op) const
{
    if (op == "hi")
        return {200, "ok update-server\n"};
    if (op == "fix") {
        std::istringstream words(request.get_param_value("fp"));
        uint32_t fingerprint[4] = {};
        std::string word;
        for (auto& w : fingerprint)
            if (!(words >> word) || !ParseHex32(word, w))
                return {200, "error bad fingerprint\n"};
        auto answer = catalog_.Recover(fingerprint);
        if (!answer)
            return {200, "error unknown fingerprint\n"};
        return {200, "ok\n" + SerialText(answer->serial) + "\n" + std::to_string(answer->build) + "\n"};
    }
    if (op != "qu" && op != "builds" && op != "ent_jwt")
        return {400, "error unknown op\n"};

    uint32_t serial = 0;
    if (!ParseHex32(request.get_param_value("sn"), serial))
        return {200, "error bad serial number\n"};
    if (!catalog_.KnowsDevice(serial))
        return {200, "error unknown device\n"};
    if (op == "qu") {
        auto latest = catalog_.Latest(serial);
        if (!latest)
            return {200, "error no builds\n"};
        return {200, "ok\n" + std::to_string(*latest) + "\n" + catalog_.Firmware(serial) + "\n"};
    }
    if (op == "builds") {
        std::string body = "ok\n";
        for (const auto& [build, served] : catalog_.Listed(serial))
            body += std::to_string(build) + ";" + catalog_.Version(served.path) + "\n";
        return {200, body};
    }
    auto token = catalog_.Token(serial);
    if (!token)
        return {200, "error no token\n"};
    return {200, "ok\n" + *token + "\n"};
}

UpdateServer::Reply UpdateServer::_image(const httplib::Request& request, const std::vector<ServerFault>& faults) const
{
    uint32_t serial = 0, build = 0;
    if (!ParseHex32(request.get_param_value("sn"), serial) || !ParseDecimal32(request.get_param_value("bld"), build))
        return {200, "error bad request\n"};
    const auto builds = catalog_.Builds(serial);
    const auto it = builds.find(build);
    if (it == builds.end())
        return {200, "error no such build\n"};
    bool ok = false;
    std::string bytes = _read_file(it->second.path, ok);
    if (!ok)
        return {500, "error cannot read image\n"};

    if (_has(faults, ServerFault::BadBird)) {
        bytes.replace(0, std::min<size_t>(4, bytes.size()), "BIRD");
    } else if (_has(faults, ServerFault::BrokenBird)) {
        bytes.resize(std::min<size_t>(bytes.size(), 6 + (bytes.size() - 6) / 2));
    }
    std::string text = _base64(bytes);
    if (_has(faults, ServerFault::BadBase64)) {
        // Keep the length a multiple of four: only the characters give it away.
        const size_t middle = text.size() / 2 / 4 * 4;
        text.replace(middle, std::min<size_t>(4, text.size() - middle), "*!?%");
    }
    return {200, "ok\n" + text + "\n"};
}

}  // namespace Sim
