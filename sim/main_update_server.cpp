// update-server: serves firmware to the updater over the update-server protocol.
//
//   update-server --firmware DIR [--config FILE] [--host ADDR] [--port N] [--path /cgi/u]
//                 [--cert FILE --key FILE | --make-cert DIR] [--fault SPEC]... [--verbose]
//
// Prints the URL to give to "updater -u" as its first line of output, then serves
// until interrupted (SIGINT or SIGTERM).
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "sim/StopSignals.h"
#include "sim/ThrowAwayCa.h"
#include "sim/UpdateServer.h"

namespace {

const char* const USAGE =
    "Usage: update-server --firmware DIR [options]\n"
    "Serves the builds in DIR/<SERIAL>/<build>.bird over the update-server protocol.\n"
    "\n"
    "  --firmware DIR   firmware directory (one folder per device serial number, %08X)\n"
    "  --config FILE    settings (default DIR/server.conf when present); lines of\n"
    "                     firmware <SN> <text>    fw text of the device's builds\n"
    "                     latest   <SN> <build>   latest build (default: highest listed)\n"
    "                     hide     <SN> <build>   serve the build but leave it off the list\n"
    "                     token    <SN> <jwt>     device token\n"
    "                     recover  <W0> <W1> <W2> <W3> <SN> <build>\n"
    "  --host ADDR      address to listen on (default 127.0.0.1)\n"
    "  --port N         port (default: any free port)\n"
    "  --path PATH      request path (default /cgi/u)\n"
    "  --cert FILE      PEM certificate; with --key serves HTTPS\n"
    "  --key FILE       PEM private key\n"
    "  --make-cert DIR  serves HTTPS with a certificate for --host signed by a\n"
    "                   throw-away CA, made now: DIR/ca.crt (the bundle a client\n"
    "                   trusts), DIR/server.crt and DIR/server.key\n"
    "  --fault SPEC     inject a fault, optionally for one operation only (@hi, @qu,\n"
    "                   @bird, @builds, @fix, @ent_jwt): status=CODE, no-ok, bad-base64,\n"
    "                   bad-bird, broken-bird, slow=MS, cut, stall=MS (half the body,\n"
    "                   a pause, the rest), huge=MIB (an image line of MIB MiB).\n"
    "                   Repeatable.\n"
    "  --verbose        log every request on standard error\n"
    "\n"
    "The first line printed is the server URL, e.g. http://127.0.0.1:40123/cgi/u\n";

bool _parse(int argc, char** argv, Sim::UpdateServerOptions& options, std::string& make_cert, std::string& error)
{
    static const char* const valued[] = {"--firmware", "--config", "--host",  "--port",     "--path",
                                         "--cert",     "--key",    "--fault", "--make-cert"};
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--verbose") {
            options.verbose = true;
            continue;
        }
        if (word == "-h" || word == "--help")
            return false;  // usage, no error
        if (std::find(std::begin(valued), std::end(valued), word) == std::end(valued)) {
            error = "unknown option " + word;
            return false;
        }
        if (i + 1 >= argc) {
            error = word + " needs a value";
            return false;
        }
        const std::string value = argv[++i];
        if (word == "--firmware")
            options.firmware_dir = value;
        else if (word == "--config")
            options.config_path = value;
        else if (word == "--host")
            options.host = value;
        else if (word == "--path")
            options.path = value;
        else if (word == "--cert")
            options.cert = value;
        else if (word == "--key")
            options.key = value;
        else if (word == "--make-cert")
            make_cert = value;
        else if (word == "--port") {
            uint32_t port = 0;
            if (!Sim::ParseDecimal32(value, port) || port > 65535) {
                error = "invalid port " + value;
                return false;
            }
            options.port = static_cast<int>(port);
        } else {
            Sim::ServerFault fault;
            if (!Sim::ServerFault::Parse(value, fault, error))
                return false;
            options.faults.push_back(fault);
        }
    }
    if (options.firmware_dir.empty())
        error = "--firmware DIR is required";
    else if (options.cert.empty() != options.key.empty())
        error = "--cert and --key go together";
    else if (!make_cert.empty() && !options.cert.empty())
        error = "--make-cert replaces --cert and --key";
    return error.empty();
}

// A throw-away CA and a certificate for the listening host signed by it, in dir.
bool _make_certificate(const std::string& dir, Sim::UpdateServerOptions& options, std::string& error)
{
    std::error_code ignored;
    std::filesystem::create_directories(dir, ignored);
    Sim::ThrowAwayCa ca;
    Sim::CertificateSpec spec;
    spec.host = options.host;
    options.cert = dir + "/server.crt";
    options.key = dir + "/server.key";
    return ca.Create("update-server throw-away CA", error) && ca.WriteCertificate(dir + "/ca.crt", error) &&
           ca.Issue(spec, options.cert, options.key, error);
}

}  // namespace

int main(int argc, char** argv)
{
    Sim::UpdateServerOptions options;
    std::string make_cert, error;
    if (!_parse(argc, argv, options, make_cert, error)) {
        if (!error.empty())
            std::fprintf(stderr, "update-server: %s\n", error.c_str());
        std::fputs(USAGE, error.empty() ? stdout : stderr);
        return error.empty() ? 0 : 2;
    }

    if (!make_cert.empty() && !_make_certificate(make_cert, options, error)) {
        std::fprintf(stderr, "update-server: %s\n", error.c_str());
        return 1;
    }
    sigset_t signals = Sim::BlockForSigwait({SIGINT, SIGTERM});

    Sim::UpdateServer server(options);
    if (!server.Start(error)) {
        std::fprintf(stderr, "update-server: %s\n", error.c_str());
        return 1;
    }
    std::printf("%s\n", server.Url().c_str());
    std::fflush(stdout);

    Sim::WaitForSignal(signals);
    server.Stop();
    return 0;
}
