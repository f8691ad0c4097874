// updater-agent: a hawkBit gateway for the modules of this host. It polls the
// server for every module found, downloads and checks what is deployed, and
// updates the modules with verification, until SIGINT or SIGTERM (or after one
// round with --once). Exit status 0, 1 when the gateway cannot work (token file,
// trust settings, the token refused at the start) or --once had a failure, 2 for
// a bad command line.
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "agent/AgentOptions.h"
#include "agent/Gateway.h"
#include "app/CLI_Display.h"
#include "app/EndingSignals.h"
#include "app/Usage.h"
#include "common/Log.h"
#include "server/HTTPConnectionShare.h"
#include "server/HTTPRequest.h"
#include "server/ServerTrust.h"
#include "unix/aDirectory.h"

namespace {

constexpr auto LEVEL_ERR = UpdaterDisplayInterface::LEVEL_ERROR;
constexpr size_t HOME_DIRECTORY_CAPACITY = 2048;

// DIR/updater (default ~/.kestrune/updater), created with mode 0755; empty on failure.
std::string _store_directory(const std::string& given, std::string& error)
{
    std::string base = given;
    if (base.empty()) {
        std::vector<char> home(HOME_DIRECTORY_CAPACITY, '\0');
        if (aDirectory_GetHomeDirectory(home.data(), home.size()) != aErrNone) {
            error = "cannot find the home directory for the store";
            return "";
        }
        base = std::string(home.data()) + "/.kestrune";
    }
    std::string store = base + "/updater";
    std::error_code failure;
    std::filesystem::create_directories(store, failure);
    if (failure || !std::filesystem::is_directory(store)) {
        error = "cannot create the store directory " + store;
        return "";
    }
    chmod(store.c_str(), 0755);
    return store;
}

bool _trusted(CLI_Display& display, const std::string& url)
{
    if (!HTTPRequest::StallLimitValid())
        display.message(LEVEL_ERR, "Ignoring %s=%s: not a number of seconds (1 to %ld)",
                        HTTPRequest::STALL_LIMIT_VARIABLE, getenv(HTTPRequest::STALL_LIMIT_VARIABLE),
                        HTTPRequest::MAX_STALL_LIMIT_SECONDS);
    ServerTrust trust;
    std::string error;
    if (ServerTrust::FromEnvironment(trust, error) && trust.Allows(url, error))
        return true;
    display.message(LEVEL_ERR, "%s", error.c_str());
    return false;
}

}  // namespace

int main(int argc, char** argv)
{
    CLI_Display display;
    Log::SetOutput(stderr);
    AgentOptions options;
    if (!options.Parse(argc, argv)) {
        fprintf(stderr, "updater-agent: %s\n%s", options.Error().c_str(), AgentOptions::Usage());
        return 2;
    }
    if (options.help) {
        fputs(AgentOptions::Usage(), stdout);
        return 0;
    }
    Log::ActivatePackage(options.debugMask);
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "updater-agent (%s)", _app_version_text().c_str());
    if (!options.ReadToken()) {
        display.message(LEVEL_ERR, "%s", options.Error().c_str());
        return 1;
    }
    if (!_trusted(display, options.server))
        return 1;
    std::string error;
    GatewaySettings settings;
    settings.storeDirectory = _store_directory(options.storeDirectory, error);
    if (settings.storeDirectory.empty()) {
        display.message(LEVEL_ERR, "%s", error.c_str());
        return 1;
    }
    settings.server = {options.server, options.tenant, options.token};
    settings.transport = options.transport;
    settings.router = options.router;
    settings.pollSeconds = options.pollSeconds;
    settings.once = options.once;
    settings.jobs = options.jobs;

    HTTPConnectionShare connections;
    Gateway gateway(settings, display);
    // The first signal stops polling and lets the updates in flight end; a second
    // one ends the process at once.
    EndingSignals signals([&gateway](int /*signal*/, int count) {
        if (count > 1)
            return EndingSignals::Then::End;
        gateway.Stop();
        return EndingSignals::Then::GoOn;
    });
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "Polling %s for tenant %s", options.server.c_str(),
                    options.tenant.c_str());
    const int status = gateway.Run();
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "Stopped");
    return status;
}
