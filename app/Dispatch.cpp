#include "app/Dispatch.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include "app/JsonListings.h"
#include "app/Listings.h"
#include "app/Usage.h"
#include "common/Log.h"
#include "server/ServerTrust.h"
#include "unix/aDirectory.h"

namespace {

constexpr auto INFO = UpdaterDisplayInterface::LEVEL_INFO;
constexpr auto LEVEL_ERR = UpdaterDisplayInterface::LEVEL_ERROR;
constexpr unsigned STORE_DIRECTORY_MODE = 0755;
constexpr size_t HOME_DIRECTORY_CAPACITY = 2048;

// Unsigned decimal text; empty or unreadable text gives 0 ("not specified").
uint32_t _build_number(const std::string& text)
{
    char* end = nullptr;
    return _get_int_arg(text.c_str(), &end);
}

// The fingerprint and download steps set the run's status but do not stop it.
int _fingerprint(CLI_Display& display, Parameters* params, Updater& updater, int status)
{
    Fingerprint fingerprint;
    if (updater.Get_Fingerprint(fingerprint, params->serial_port, UNKNOWN_DEVICE_SERIAL, params->bird_file,
                                static_cast<uint32_t>(params->baud_rate), true)) {
        _display_fingerprint(display, fingerprint);
        return status;
    }
    display.message(LEVEL_ERR, "Got no response from chip");
    return 1;
}

int _get_build(CLI_Display& display, Parameters* params, Updater& updater)
{
    display.message(INFO, "Retrieving firmware for device with serial number %08X", params->device_serial);
    if (params->build.empty()) {
        display.message(INFO, "No build specified");
        display.message(INFO, "Using Latest build");
    } else {
        display.message(INFO, "Retrieving firmware build %s", params->build.c_str());
    }
    uint32_t build = updater.Download_Firmware(params->device_serial, params->build, params->override_model_checks,
                                               false);
    if (build == 0)
        return 1;
    // A following update uses exactly the build just stored.
    params->build = std::to_string(build);
    return 0;
}

// A script reading the document must not take a lost one for an empty listing.
int _write_document(CLI_Display& display, const std::string& document)
{
    if (display.write_document(document))
        return 0;
    display.message(LEVEL_ERR, "Could not write the listing to standard output: %s", strerror(errno));
    return 1;
}

int _list_devices(CLI_Display& display, const Parameters& params, const std::vector<DeviceInfo>& devices,
                  linkType type)
{
    if (params.json_output)
        return _write_document(display, _device_list_json(devices, type));
    _display_device_list(display, devices, type);
    return 0;
}

int _list_builds(CLI_Display& display, const Parameters& params, const BuildMap& builds)
{
    if (params.json_output)
        return _write_document(display, _build_list_json(builds, params.device_serial));
    _display_builds(display, builds, params.device_serial);
    return 0;
}

int _discover(CLI_Display& display, const Parameters& params, Updater& updater)
{
    linkType type = _discovery_link_type(params);
    if (params.router_serial != 0) {
        display.message(INFO, "Searching for Tessarine Network devices connected to %08X", params.router_serial);
        return _list_devices(display, params, updater.Discover_TSNetwork_Devices(params.router_serial, type), type);
    }
    display.message(INFO, "Searching for Tessarine devices");
    return _list_devices(display, params, updater.Discover_Devices(type), type);
}

int _update(CLI_Display& display, const Parameters& params, Updater& updater)
{
    uint32_t build = _build_number(params.build);
    updater.Set_UEIBytes_Load(params.uei_bytes_load);
    if (params.transport == TRANSPORT_RECOVER)
        return updater.Recover_Firmware(params.serial_port, build, static_cast<uint32_t>(params.baud_rate),
                                        params.device_serial, params.bird_file, params.override_model_checks)
                   ? 0
                   : 1;
    if (params.device_serial != 0)
        return updater.Update_Firmware(params.device_serial, build, params.bird_file, params.module_address,
                                       params.router_serial, params.override_model_checks)
                   ? 0
                   : 1;
    display.message(LEVEL_ERR, "Must specify the specific device to be updated");
    return 1;
}

// "-B", "-L" and "-J" all need a device.
bool _require_device(CLI_Display& display, const Parameters& params, const char* command)
{
    if (params.device_serial != 0)
        return true;
    display.message(LEVEL_ERR, "Error must supply a serial number for the %s command", command);
    _display_usage(false, false);
    return false;
}

}  // namespace

bool _check_server_trust(CLI_Display& display, const Parameters& params)
{
    if (!params.commands.IsSet(CMD_GET_BUILD | CMD_LIST_BUILDS | CMD_GET_JWT | CMD_UPDATE))
        return true;
    ServerTrust trust;
    std::string error;
    if (ServerTrust::FromEnvironment(trust, error) && trust.Allows(params.server_url, error))
        return true;
    display.message(LEVEL_ERR, "%s", error.c_str());
    return false;
}

linkType _discovery_link_type(const Parameters& params)
{
    linkType type = (params.transport_given && params.transport != TRANSPORT_RECOVER) ? params.transport : 0;
    if (type == 0 && params.router_serial == 0)
        type = USB;
    return type;
}

bool _json_listing(const Parameters& params)
{
    // Help prints the usage as always.
    if (!params.json_output || params.commands.IsSet(CMD_HELP))
        return false;
    const CommandsClass& commands = params.commands;
    // The first of -D, -U, -B, -L and -J that is set decides what the run prints.
    if (commands.IsSet(CMD_DISCOVER))
        return true;
    return !commands.IsSet(CMD_UPDATE) && commands.IsSet(CMD_LIST_BUILDS | CMD_LIST_LOCAL_BUILDS);
}

bool _prepare_store_directory(CLI_Display& display, Parameters* params)
{
    if (params->store_directory.empty()) {
        std::vector<char> home(HOME_DIRECTORY_CAPACITY, '\0');
        aErr error = aDirectory_GetHomeDirectory(home.data(), home.size());
        if (error != aErrNone) {
            Log::log(DEBUG_APP, "Updater: FailedaDirectory_GetHomeDirectory()==> %d\n", static_cast<int>(error));
            return false;
        }
        params->store_directory = BuildPath(home.data(), ".kestrune");
    }
    params->store_directory = BuildPath(params->store_directory, "updater");
    if (aDirectory_Ensure(params->store_directory.c_str(), STORE_DIRECTORY_MODE) != aErrNone) {
        display.message(LEVEL_ERR, "Could not find updater directory at %s", params->store_directory.c_str());
        return false;
    }
    return true;
}

int _run_commands(CLI_Display& display, Parameters* params, Updater& updater)
{
    int status = 0;
    if (params->commands.IsSet(CMD_FINGERPRINT)) {
        if (params->serial_port.empty()) {
            display.message(LEVEL_ERR, "Must specify the serial port used for connecting");
            return 1;
        }
        status = _fingerprint(display, params, updater, status);
    }
    if (params->commands.IsSet(CMD_GET_BUILD)) {
        if (params->device_serial == 0) {
            display.message(LEVEL_ERR, "-G must specify a specific device via -d");
            display.message(LEVEL_ERR, "--help for usage information");
            return 1;
        }
        status = _get_build(display, params, updater);
    }

    if (params->commands.IsSet(CMD_DISCOVER))
        return _discover(display, *params, updater);
    if (params->commands.IsSet(CMD_UPDATE))
        return _update(display, *params, updater);
    if (params->commands.IsSet(CMD_LIST_BUILDS)) {
        if (!_require_device(display, *params, "List Builds"))
            return 1;
        return _list_builds(display, *params, updater.Get_BuildList(params->device_serial));
    }
    if (params->commands.IsSet(CMD_LIST_LOCAL_BUILDS)) {
        if (!_require_device(display, *params, "List Local Builds"))
            return 1;
        return _list_builds(display, *params, updater.Get_BuildListLocal(params->device_serial));
    }
    if (params->commands.IsSet(CMD_GET_JWT)) {
        if (!_require_device(display, *params, "Get JWT"))
            return 1;
        // An empty token is a failed request: scripts must see it in the exit status.
        const std::string token = updater.Get_JWT(params->device_serial);
        _display_jwt(display, token);
        return token.empty() ? 1 : 0;
    }
    return status;
}
