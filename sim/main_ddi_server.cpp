// ddi-server: the device side of a rollout server, for the tests, the demo and a lab.
//
//   ddi-server --artifacts DIR [--tenant NAME] [--gateway-token TOKEN | --gateway-token-file FILE]
//              [--host ADDR] [--port N] [--sleep TIME] [--record FILE] [--script FILE]
//              [--fault SPEC]... [--limit-rate]
//
// Prints its base URL as its first line of output, then serves until SIGINT or SIGTERM.
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>

#include "sim/DdiServer.h"
#include "sim/StopSignals.h"
#include "sim/Text.h"
#include "sim/UpdateServerCatalog.h"

namespace {

const char* const USAGE =
    "Usage: ddi-server --artifacts DIR [options]\n"
    "Serves deployments of the artifacts in DIR to gateways and devices over the\n"
    "Direct Device Integration API, below URL/TENANT/controller/v1/CONTROLLER.\n"
    "\n"
    "  --artifacts DIR          the artifacts the deployments name\n"
    "  --tenant NAME            tenant (default DEFAULT; compared without case)\n"
    "  --gateway-token TOKEN    requests must carry \"Authorization: GatewayToken TOKEN\"\n"
    "  --gateway-token-file F   the same, the token read from F\n"
    "                           (without either, requests are not checked)\n"
    "  --host ADDR              address to listen on (default 127.0.0.1)\n"
    "  --port N                 port (default: any free port)\n"
    "  --sleep TIME             polling interval the poll answer advises, HH:MM:SS or\n"
    "                           PT..H..M..S (default 00:05:00)\n"
    "  --record FILE            append every request that matters as a JSON line\n"
    "  --script FILE            deployments made at start, one per line:\n"
    "                             deploy CONTROLLER FILE [download=skip|attempt|forced]\n"
    "                               [update=skip|attempt|forced] [window=available|unavailable]\n"
    "                               [version=V] [sha256=wrong] [cancel]\n"
    "  --fault SPEC             status=CODE, stall=MS@download, cut@download or unauthorized,\n"
    "                           for one kind of request with @poll, @config, @deployment,\n"
    "                           @feedback, @cancel, @download (default all), N times with\n"
    "                           a trailing xN. Repeatable.\n"
    "  --limit-rate             answer 429 beyond 200 GET or 50 other requests a second\n"
    "\n"
    "The lab API under URL/sim/ (JSON, no token): POST deploy, cancel/ID, window/ID/available,\n"
    "faults; GET actions, targets, record.\n";

bool _read_lines(const std::string& path, std::vector<std::string>& lines, bool skipComments, std::string& error)
{
    std::ifstream in(path);
    if (!in) {
        error = "cannot read " + path;
        return false;
    }
    std::string line;
    while (std::getline(in, line)) {
        line = Sim::TrimBlanks(line);
        if (!line.empty() && !(skipComments && line[0] == '#'))
            lines.push_back(line);
    }
    return true;
}

bool _valid_sleep(const std::string& text)
{
    static const std::regex clock("[0-9]{2}:[0-5][0-9]:[0-5][0-9]");
    static const std::regex iso("PT([0-9]+H)?([0-9]+M)?([0-9]+S)?");
    return std::regex_match(text, clock) || (text.size() > 2 && std::regex_match(text, iso));
}

bool _parse(int argc, char** argv, Sim::DdiServerOptions& options, std::string& error)
{
    static const char* const valued[] = {"--artifacts", "--tenant", "--gateway-token", "--gateway-token-file",
                                         "--host",      "--port",   "--sleep",         "--record",
                                         "--script",    "--fault"};
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "-h" || word == "--help")
            return false;
        if (word == "--limit-rate") {
            options.limit_rate = true;
            continue;
        }
        if (std::find(std::begin(valued), std::end(valued), word) == std::end(valued)) {
            error = "unknown option " + word;
            return false;
        }
        if (i + 1 >= argc) {
            error = word + " needs a value";
            return false;
        }
        const std::string value = argv[++i];
        std::vector<std::string> lines;
        uint32_t number = 0;
        Sim::DdiFault fault;
        if (word == "--artifacts")
            options.artifacts_dir = value;
        else if (word == "--tenant")
            options.tenant = value;
        else if (word == "--gateway-token")
            options.gateway_token = value;
        else if (word == "--gateway-token-file") {
            if (!_read_lines(value, lines, false, error))
                return false;
            options.gateway_token = lines.empty() ? "" : lines[0];
            if (options.gateway_token.empty())
                error = value + " holds no token";
        } else if (word == "--host")
            options.host = value;
        else if (word == "--port") {
            if (!Sim::ParseDecimal32(value, number) || number > 65535)
                error = "invalid port " + value;
            options.port = static_cast<int>(number);
        } else if (word == "--sleep") {
            if (!_valid_sleep(value))
                error = "invalid polling time " + value;
            options.sleep = value;
        } else if (word == "--record")
            options.record_path = value;
        else if (word == "--script") {
            if (_read_lines(value, lines, true, error))
                options.script.insert(options.script.end(), lines.begin(), lines.end());
        } else if (Sim::DdiFault::Parse(value, fault, error))
            options.faults.push_back(fault);
        if (!error.empty())
            return false;
    }
    if (options.artifacts_dir.empty())
        error = "--artifacts DIR is required";
    return error.empty();
}

int _run(int argc, char** argv)
{
    Sim::DdiServerOptions options;
    std::string error;
    if (!_parse(argc, argv, options, error)) {
        if (!error.empty())
            std::fprintf(stderr, "ddi-server: %s\n", error.c_str());
        std::fputs(USAGE, error.empty() ? stdout : stderr);
        return error.empty() ? 0 : 2;
    }
    sigset_t signals = Sim::BlockForSigwait({SIGINT, SIGTERM});
    Sim::DdiServer server(options);
    if (!server.Start(error)) {
        std::fprintf(stderr, "ddi-server: %s\n", error.c_str());
        return 1;
    }
    std::printf("%s\n", server.Url().c_str());
    std::fflush(stdout);
    Sim::WaitForSignal(signals);
    server.Stop();
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        return _run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ddi-server: %s\n", e.what());
        return 1;
    }
}
