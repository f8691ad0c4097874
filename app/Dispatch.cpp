#include "app/Dispatch.h"

#include <cerrno>
#include <csignal>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include "app/AvailableBuilds.h"
#include "app/EndingSignals.h"
#include "app/History.h"
#include "app/JsonListings.h"
#include "app/Listings.h"
#include "app/Station.h"
#include "app/UpdateAll.h"
#include "app/Usage.h"
#include "common/Log.h"
#include "server/HTTPRequest.h"
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

const char* _signal_name(int signal)
{
    switch (signal) {
    case SIGINT:
        return "SIGINT";
    case SIGTERM:
        return "SIGTERM";
    case SIGHUP:
        return "SIGHUP";
    default:
        return "a signal";
    }
}

// One update, recovery or download as the history records it: started by
// the constructor, closed by Finish, or by a signal that ends the process
// first ("interrupted").
class HistoryRun {
public:
    HistoryRun(CLI_Display& display, const Parameters& params, Updater& updater, const char* command, uint32_t serial)
        : display_(display), params_(params), updater_(updater), start_(std::chrono::steady_clock::now())
    {
        display_.take_errors();
        updater_.Clear_Outcome();
        entry_.command = command;
        entry_.serial = serial;
        entry_.router = params.router_serial;
        entry_.time = _utc_time_text();
        entry_.message = params.history_message;
        entry_.verify = params.verify;
        signals_.emplace([this](int signal, int /*count*/) {
            _interrupted(signal);
            return EndingSignals::Then::End;
        });
    }

    // Appends the record; with "--json" it becomes the run's document.
    int Finish(bool ok, std::string& document)
    {
        const auto closing = signals_->Close();
        entry_.ok = ok;
        document = _append();
        return ok ? 0 : 1;
    }

private:
    // The record as the run stands; with "--json" its document, else empty.
    std::string _append()
    {
        entry_.error = display_.take_errors();
        entry_.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
        const auto record = _history_record(entry_, updater_.Get_Outcome());
        _append_history(display_, params_.store_directory, record);
        if (!params_.json_output)
            return "";
        return record.dump(2, ' ', false, decltype(record)::error_handler_t::replace) + "\n";
    }

    // On the signal's thread, while the run goes on until the process ends.
    void _interrupted(int signal)
    {
        display_.message(LEVEL_ERR, "Interrupted by %s", _signal_name(signal));
        entry_.interrupted = true;
        const std::string document = _append();
        if (!document.empty())
            display_.write_document(document);
    }

    CLI_Display& display_;
    const Parameters& params_;
    Updater& updater_;
    std::chrono::steady_clock::time_point start_;
    HistoryEntry entry_;
    // Made once the record has its start, ended first: it calls back into the members above.
    std::optional<EndingSignals> signals_;
};

std::string _dump(const nlohmann::ordered_json& document)
{
    return document.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

const char* _chip_name(int chip)
{
    switch (chip) {
    case RECOVERY_CHIP_LPC:
        return "LPC17xx";
    case RECOVERY_CHIP_IMX:
        return "i.MX RT";
    default:
        return nullptr;
    }
}

// The fingerprint and download steps set the run's status but do not stop it.
int _fingerprint(CLI_Display& display, Parameters* params, Updater& updater, int status, std::string& document)
{
    Fingerprint fingerprint;
    bool answered = updater.Get_Fingerprint(fingerprint, params->serial_port, UNKNOWN_DEVICE_SERIAL, params->bird_file,
                                            static_cast<uint32_t>(params->baud_rate), true);
    if (params->json_output) {
        nlohmann::ordered_json words = nullptr;
        if (answered) {
            words = nlohmann::ordered_json::array();
            for (uint32_t word : fingerprint.words) {
                char text[16];
                snprintf(text, sizeof text, "%08X", word);
                words.push_back(text);
            }
        }
        const char* chip = answered ? _chip_name(updater.Get_RecoveryChip()) : nullptr;
        document = _dump({{"fingerprint", words}, {"chip", chip ? nlohmann::ordered_json(chip) : nullptr}});
    }
    if (answered) {
        if (!params->json_output)
            _display_fingerprint(display, fingerprint);
        return status;
    }
    // Without a chip asked, the reason is already shown (a port that does not open).
    if (updater.Get_RecoveryChip() != RECOVERY_CHIP_NONE)
        display.message(LEVEL_ERR, "Got no response from chip");
    return 1;
}

int _get_build(CLI_Display& display, Parameters* params, Updater& updater, std::string& document)
{
    HistoryRun run(display, *params, updater, "download", params->device_serial);
    display.message(INFO, "Retrieving firmware for device with serial number %08X", params->device_serial);
    if (params->build.empty()) {
        display.message(INFO, "No build specified");
        display.message(INFO, "Using Latest build");
    } else {
        display.message(INFO, "Retrieving firmware build %s", params->build.c_str());
    }
    uint32_t build =
        updater.Download_Firmware(params->device_serial, params->build, params->override_model_checks, false);
    // A following update uses exactly the build just stored.
    if (build != 0)
        params->build = std::to_string(build);
    return run.Finish(build != 0, document);
}

std::string _hex_text(uint32_t serial)
{
    char text[16];
    snprintf(text, sizeof text, "%08X", serial);
    return text;
}

// A script reading the document must not take a lost one for an empty listing.
int _write_document(CLI_Display& display, const std::string& document)
{
    if (display.write_document(document))
        return 0;
    display.message(LEVEL_ERR, "Could not write the listing to standard output: %s", strerror(errno));
    return 1;
}

// "--updates": the newest build available per device, looked up once for them all.
// With a server given, that did not answer, the listing still shows the store's builds
// and the run fails: an incomplete answer must not pass for "nothing is behind".
int _list_devices(CLI_Display& display, const Parameters& params, Updater& updater,
                  const std::vector<DeviceInfo>& devices, linkType type)
{
    std::vector<AvailableBuild> available;
    int status = 0;
    if (params.updates) {
        AvailableBuilds builds(display, params.store_directory, params.server_given ? updater.Get_ServerURL() : "");
        std::vector<uint32_t> serials;
        serials.reserve(devices.size());
        for (const DeviceInfo& device : devices)
            serials.push_back(device.spec.serialNumber);
        builds.Lookup(serials);
        for (uint32_t serial : serials)
            available.push_back(builds.Newest(serial));
        status = builds.ServerFailed() ? 1 : 0;
    }
    const std::vector<AvailableBuild>* updates = params.updates ? &available : nullptr;
    if (params.json_output)
        return _write_document(display, _device_list_json(devices, type, updates)) | status;
    _display_device_list(display, devices, type, updates);
    return status;
}

// A failed request prints what the server gave (often nothing) and fails the run.
int _list_builds(CLI_Display& display, const Parameters& params, const BuildMap& builds,
                 const std::string& failure = "")
{
    if (params.json_output) {
        if (_write_document(display, _build_list_json(builds, params.device_serial, failure)) != 0)
            return 1;
    } else {
        _display_builds(display, builds, params.device_serial);
    }
    return failure.empty() ? 0 : 1;
}

int _discover(CLI_Display& display, const Parameters& params, Updater& updater)
{
    linkType type = _discovery_link_type(params);
    if (params.router_serial != 0) {
        display.message(INFO, "Searching for Tessarine Network devices connected to %08X", params.router_serial);
        return _list_devices(display, params, updater, updater.Discover_TSNetwork_Devices(params.router_serial, type),
                             type);
    }
    display.message(INFO, "Searching for Tessarine devices");
    // What is behind is asked of every module -U --all would update: those on
    // the buses of the modules found too.
    return _list_devices(display, params, updater,
                         params.updates ? updater.Discover_All_Devices(type, 0) : updater.Discover_Devices(type), type);
}

int _update(CLI_Display& display, const Parameters& params, Updater& updater, std::string& document)
{
    if (params.batch.all)
        return _update_all(display, params, updater);
    if (params.batch.watch)
        return _update_watch(display, params, updater);
    uint32_t build = _build_number(params.build);
    updater.Set_UEIBytes_Load(params.uei_bytes_load);
    updater.Set_Verify(params.verify);
    if (params.transport == TRANSPORT_RECOVER) {
        HistoryRun run(display, params, updater, "recover", params.device_serial);
        return run.Finish(
            updater.Recover_Firmware(params.serial_port, build, static_cast<uint32_t>(params.baud_rate),
                                     params.device_serial, params.bird_file, params.override_model_checks),
            document);
    }
    // Without a device the command line is at fault: no update starts, so none is recorded.
    if (params.device_serial == 0) {
        display.message(LEVEL_ERR, "Must specify the specific device to be updated");
        return 1;
    }
    HistoryRun run(display, params, updater, "update", params.device_serial);
    return run.Finish(updater.Update_Firmware(params.device_serial, build, params.bird_file, params.module_address,
                                              params.router_serial, params.override_model_checks),
                      document);
}

int _token(CLI_Display& display, const Parameters& params, Updater& updater, std::string& document)
{
    // An empty token is a failed request: scripts must see it in the exit status.
    const std::string token = updater.Get_JWT(params.device_serial);
    if (params.json_output)
        document = _dump({{"serial", _hex_text(params.device_serial)},
                          {"token", token.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(token)}});
    else
        _display_jwt(display, token);
    return token.empty() ? 1 : 0;
}

int _history(CLI_Display& display, const Parameters& params, std::string& document)
{
    return _show_history(display, params.store_directory, params.device_serial,
                         params.json_output ? &document : nullptr)
               ? 0
               : 1;
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
    const bool asks_server = params.commands.IsSet(CMD_GET_BUILD | CMD_LIST_BUILDS | CMD_GET_JWT | CMD_UPDATE) ||
                             (params.commands.IsSet(CMD_DISCOVER) && params.updates && params.server_given);
    if (!asks_server)
        return true;
    if (!HTTPRequest::StallLimitValid())
        display.message(LEVEL_ERR, "Ignoring %s=%s: not a number of seconds (1 to %ld)",
                        HTTPRequest::STALL_LIMIT_VARIABLE, getenv(HTTPRequest::STALL_LIMIT_VARIABLE),
                        HTTPRequest::MAX_STALL_LIMIT_SECONDS);
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
    // Reading the history makes nothing: a store that is not there has none.
    if (params->commands.IsSet(CMD_HISTORY) && !params->commands.IsSet(CMD_ANY_COMMAND & ~CMD_HISTORY))
        return true;
    if (aDirectory_Ensure(params->store_directory.c_str(), STORE_DIRECTORY_MODE) != aErrNone) {
        display.message(LEVEL_ERR, "Could not find updater directory at %s", params->store_directory.c_str());
        return false;
    }
    return true;
}

namespace {

// The commands after the download; the last result that ends the run.
int _final_command(CLI_Display& display, Parameters* params, Updater& updater, int status, std::string& document)
{
    if (params->commands.IsSet(CMD_DISCOVER | CMD_UPDATE | CMD_LIST_BUILDS | CMD_LIST_LOCAL_BUILDS | CMD_GET_JWT |
                               CMD_HISTORY))
        document.clear();
    if (params->commands.IsSet(CMD_DISCOVER))
        return _discover(display, *params, updater);
    if (params->commands.IsSet(CMD_UPDATE))
        return _update(display, *params, updater, document);
    if (params->commands.IsSet(CMD_LIST_BUILDS)) {
        if (!_require_device(display, *params, "List Builds"))
            return 1;
        std::string failure;
        const BuildMap builds = updater.Get_BuildList(params->device_serial, &failure);
        return _list_builds(display, *params, builds, failure);
    }
    if (params->commands.IsSet(CMD_LIST_LOCAL_BUILDS)) {
        if (!_require_device(display, *params, "List Local Builds"))
            return 1;
        return _list_builds(display, *params, updater.Get_BuildListLocal(params->device_serial));
    }
    if (params->commands.IsSet(CMD_GET_JWT)) {
        if (!_require_device(display, *params, "Get JWT"))
            return 1;
        return _token(display, *params, updater, document);
    }
    if (params->commands.IsSet(CMD_HISTORY))
        return _history(display, *params, document);
    return status;
}

}  // namespace

int _run_commands(CLI_Display& display, Parameters* params, Updater& updater)
{
    // "--json": the document of the last command that ran, written once at the end.
    std::string document;
    int status = 0;
    if (params->commands.IsSet(CMD_FINGERPRINT)) {
        if (params->serial_port.empty()) {
            display.message(LEVEL_ERR, "Must specify the serial port used for connecting");
            return 1;
        }
        status = _fingerprint(display, params, updater, status, document);
    }
    // With -U --all or --watch each module's download is part of its update.
    if (params->commands.IsSet(CMD_GET_BUILD) && !params->batch.all && !params->batch.watch) {
        if (params->device_serial == 0) {
            display.message(LEVEL_ERR, "-G must specify a specific device via -d");
            display.message(LEVEL_ERR, "--help for usage information");
            return 1;
        }
        status = _get_build(display, params, updater, document);
    }
    status = _final_command(display, params, updater, status, document);
    if (!document.empty() && _write_document(display, document) != 0)
        return 1;
    return status;
}
