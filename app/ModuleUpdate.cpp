#include "app/ModuleUpdate.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <random>
#include <stdexcept>

#include "app/AvailableBuilds.h"
#include "app/BatchReports.h"
#include "firmware/BirdFile.h"
#include "store/UpdaterStore.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto LEVEL_ERR = UpdaterDisplayInterface::LEVEL_ERROR;

// Whether an image may go to a module: its model, and the serial number of an
// image made for one module. -OVERRIDE skips the model as for one update.
void _check_fit(const BirdFile& bird, const DeviceInfo& device, bool override_checks, ImageChoice& image)
{
    if (!bird.hasSerialOffsets && !bird.ValidateSerialNumber(device.spec.serialNumber)) {
        image.fits = false;
        image.misfit = "the image is made for module " + _serial_text(bird.GetSerialNumber());
    } else if (!override_checks && !bird.ValidateModel(device.model_name.c_str())) {
        image.fits = false;
        image.misfit = "the image is not for model " + device.model_name;
    }
}

HistoryEntry _entry(const Parameters& params, const std::string& batch, const PlannedModule& planned,
                    const char* command, bool verify)
{
    HistoryEntry entry;
    entry.command = command;
    entry.serial = planned.device.spec.serialNumber;
    entry.router = planned.device.network_address != 0 ? planned.device.spec.routerSerialNumber : 0;
    entry.time = _utc_time_text();
    entry.message = params.history_message;
    entry.verify = verify;
    entry.batch = batch;
    return entry;
}

void _finish(HistoryEntry& entry, bool ok, std::string errors, Clock::time_point start)
{
    entry.ok = ok;
    entry.error = std::move(errors);
    entry.seconds = std::chrono::duration<double>(Clock::now() - start).count();
}

// "-G": the module's newest build comes from the server; its own record.
bool _download(const Parameters& params, const std::string& batch, const PlannedModule& planned, Updater& updater,
               UpdaterDisplayInterface& display, const ModuleUpdateHooks& hooks)
{
    display.update_phase("download");
    HistoryEntry entry = _entry(params, batch, planned, "download", false);
    const auto start = Clock::now();
    const uint32_t build = planned.image.build;
    bool ok = updater.Download_Firmware(planned.device.spec.serialNumber, build ? std::to_string(build) : "",
                                        params.override_model_checks, false) != 0;
    _finish(entry, ok, hooks.takeErrors(), start);
    hooks.record(entry, updater, display);
    updater.Clear_Outcome();
    return ok;
}

}  // namespace

std::string _serial_text(uint32_t serial)
{
    char text[16];
    snprintf(text, sizeof text, "%08X", serial);
    return text;
}

std::string _version_text(const DeviceInfo& device)
{
    if (device.error != aErrNone)
        return "";
    return std::to_string(device.version_major) + "." + std::to_string(device.version_minor) + "." +
           std::to_string(device.version_patch);
}

std::string _batch_id()
{
    time_t now = time(nullptr);
    tm utc{};
    gmtime_r(&now, &utc);
    char stamp[32];
    strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
    char tail[16];
    snprintf(tail, sizeof tail, "-%06x", unsigned(std::random_device()() & 0xFFFFFF));
    return std::string(stamp) + tail;
}

ImagePicker::ImagePicker(UpdaterDisplayInterface& display, const Parameters& params)
    : display_(display), params_(params)
{
}

ImagePicker::~ImagePicker() = default;

bool ImagePicker::Prepare(const std::vector<DeviceInfo>& devices)
{
    if (!params_.bird_file.empty()) {
        if (file_)
            return true;
        try {
            file_ = std::make_unique<BirdFile>(params_.bird_file.c_str());
        } catch (const std::runtime_error&) {
            display_.message(LEVEL_ERR, "Failed to load bird file %s", params_.bird_file.c_str());
            return false;
        }
        return true;
    }
    if (!params_.build.empty())
        return true;
    // The server is asked when one was given, or with -G; a module whose
    // newest build is there gets it downloaded before its update.
    const bool ask_server = params_.server_given || params_.commands.IsSet(CMD_GET_BUILD);
    available_ = std::make_unique<AvailableBuilds>(display_, params_.store_directory,
                                                   ask_server ? params_.server_url : std::string());
    std::vector<uint32_t> serials;
    serials.reserve(devices.size());
    for (const DeviceInfo& device : devices)
        serials.push_back(device.spec.serialNumber);
    available_->Lookup(serials);
    // Without the server's answer a module could pass for current: nothing
    // is planned on half the facts.
    return !available_->ServerFailed();
}

ImageChoice ImagePicker::For(const DeviceInfo& device) const
{
    if (file_)
        return _from_file(device);
    if (available_)
        return _newest(device);
    return _stored(device);
}

ImageChoice ImagePicker::_from_file(const DeviceInfo& device) const
{
    ImageChoice image;
    image.build = file_->GetBuild();
    image.version = file_->GetVersion();
    image.file = params_.bird_file;
    image.source = "file";
    _check_fit(*file_, device, params_.override_model_checks, image);
    return image;
}

ImageChoice ImagePicker::_newest(const DeviceInfo& device) const
{
    const AvailableBuild newest = available_->Newest(device.spec.serialNumber);
    ImageChoice image;
    image.build = newest.build;
    image.version = newest.version;
    const char* source = BuildSource_Name(newest.source);
    image.source = source ? source : "";
    return image;
}

// "-b BUILD": the module's own stored image of that build; with -G it is
// downloaded first, and checked when it goes out.
ImageChoice ImagePicker::_stored(const DeviceInfo& device) const
{
    ImageChoice image;
    char* end = nullptr;
    image.build = _get_int_arg(params_.build.c_str(), &end);
    image.source = "store";
    try {
        UpdaterStore store(params_.store_directory.c_str());
        UpdaterStoreItem item;
        if (!store.FindDevice(device.spec.serialNumber, &item))
            throw std::runtime_error("no directory");
        BirdFile bird = item.ReadBirdFile((std::to_string(image.build) + ".bird").c_str());
        image.version = bird.GetVersion();
        _check_fit(bird, device, params_.override_model_checks, image);
    } catch (const std::runtime_error&) {
        if (params_.commands.IsSet(CMD_GET_BUILD)) {
            image.source = "server";
        } else {
            image.fits = false;
            image.misfit = "build " + std::to_string(image.build) + " is not in the store";
        }
    }
    return image;
}

ModuleOutcome _outcome_of(const PlannedModule& planned)
{
    ModuleOutcome outcome;
    outcome.serial = planned.device.spec.serialNumber;
    outcome.model = planned.device.model_name;
    outcome.name = planned.device.device_name;
    outcome.route = planned.route;
    outcome.fromBuild = planned.device.build_number;
    outcome.fromVersion = _version_text(planned.device);
    outcome.toBuild = planned.image.build;
    outcome.toVersion = planned.image.version;
    outcome.image = planned.image.file;
    switch (planned.action) {
    case PlanAction::Update:
        outcome.result = BatchResult::Skipped;
        break;
    case PlanAction::Current:
        outcome.result = BatchResult::Current;
        break;
    case PlanAction::Unreachable:
        outcome.result = BatchResult::Failed;
        outcome.message = planned.reason;
        break;
    default:
        outcome.result = BatchResult::Skipped;
        outcome.message = planned.reason;
        break;
    }
    return outcome;
}

void _update_module(const Parameters& params, const std::string& batch, const PlannedModule& planned, bool verify,
                    UpdaterDisplayInterface& display, const ModuleUpdateHooks& hooks, ModuleOutcome& outcome)
{
    Updater updater(params.server_url, params.store_directory, display);
    updater.Set_UEIBytes_Load(params.uei_bytes_load);
    updater.Set_Verify(verify);
    updater.Set_StopCheck(hooks.stopping);

    const auto start = Clock::now();
    bool ok = planned.image.source != "server" || _download(params, batch, planned, updater, display, hooks);
    HistoryEntry entry = _entry(params, batch, planned, "update", verify);
    hooks.started(entry);
    if (ok)
        ok = updater.Update_Found(planned.device, planned.image.file.empty() ? planned.image.build : 0,
                                  planned.image.file, params.override_model_checks);
    const Outcome& done = updater.Get_Outcome();
    std::string errors = hooks.takeErrors();
    outcome.result = ok ? BatchResult::Updated : done.interrupted ? BatchResult::Interrupted : BatchResult::Failed;
    outcome.message = errors;
    if (outcome.result == BatchResult::Interrupted && outcome.message.empty())
        outcome.message = "stopped before its update could end";
    // Some failures (a transfer given up) are in the debug log alone.
    if (outcome.result == BatchResult::Failed && outcome.message.empty())
        outcome.message = "the update did not complete";
    if (done.from) {
        outcome.fromBuild = done.from->build;
        outcome.fromVersion = done.from->version;
    }
    if (done.to) {
        outcome.toBuild = done.to->build;
        outcome.toVersion = done.to->version;
    }
    if (!done.image.empty())
        outcome.image = done.image;
    _finish(entry, ok, errors, start);
    hooks.record(entry, updater, display);
    outcome.seconds = std::chrono::duration<double>(Clock::now() - start).count();
}

bool _report_run(CLI_Display& display, const Parameters& params, const BatchRun& run)
{
    bool written = true;
    if (params.json_output) {
        written = display.write_document(_batch_json_document(run));
        if (!written)
            display.message(LEVEL_ERR, "Could not write the listing to standard output");
    } else {
        _display_batch_summary(display, run);
    }
    if (!params.batch.junit_file.empty()) {
        std::string error;
        if (!_write_junit_report(run, params.batch.junit_file, error)) {
            display.message(LEVEL_ERR, "Could not write the JUnit report %s: %s", params.batch.junit_file.c_str(),
                            error.c_str());
            written = false;
        }
    }
    return written;
}

bool _run_all_current(const BatchRun& run)
{
    for (const ModuleOutcome& outcome : run.modules)
        if (outcome.result == BatchResult::Failed || outcome.result == BatchResult::Interrupted)
            return false;
    return true;
}
