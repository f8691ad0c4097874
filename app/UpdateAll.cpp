#include "app/UpdateAll.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/AvailableBuilds.h"
#include "app/BatchConsole.h"
#include "app/BatchReports.h"
#include "app/BatchRunner.h"
#include "app/Dispatch.h"
#include "app/EndingSignals.h"
#include "app/History.h"
#include "app/UpdatePlan.h"
#include "common/Log.h"
#include "firmware/BirdFile.h"
#include "store/UpdaterStore.h"

namespace {

using json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;
constexpr auto INFO = UpdaterDisplayInterface::LEVEL_INFO;
constexpr auto LEVEL_ERR = UpdaterDisplayInterface::LEVEL_ERROR;
constexpr unsigned LIVE_REDRAW_MS = 100;

std::string _hex(uint32_t serial)
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

// Unique enough to tell runs apart, readable enough to name in a report:
// the UTC start and a random tail, e.g. 20261208T020713Z-4f2a9c.
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

// Whether an image may go to a module: its model, and the serial number of an
// image made for one module. -OVERRIDE skips the model as for one update.
void _check_fit(const BirdFile& bird, const DeviceInfo& device, bool override_checks, ImageChoice& image)
{
    if (!bird.hasSerialOffsets && !bird.ValidateSerialNumber(device.spec.serialNumber)) {
        image.fits = false;
        image.misfit = "the image is made for module " + _hex(bird.GetSerialNumber());
    } else if (!override_checks && !bird.ValidateModel(device.model_name.c_str())) {
        image.fits = false;
        image.misfit = "the image is not for model " + device.model_name;
    }
}

// The image each module would get, as the options choose it: the newest build
// (of the store; with -G also of the server), a stored build (-b), or one file (-f).
class ImagePicker {
public:
    ImagePicker(CLI_Display& display, const Parameters& params) : display_(display), params_(params) {}

    // False after reporting why no plan can be made (an image file that cannot be read).
    bool Prepare(const std::vector<DeviceInfo>& devices)
    {
        if (!params_.bird_file.empty()) {
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

    bool Newest() const { return available_ != nullptr; }

    ImageChoice For(const DeviceInfo& device) const
    {
        if (file_)
            return _from_file(device);
        if (available_)
            return _newest(device);
        return _stored(device);
    }

private:
    ImageChoice _from_file(const DeviceInfo& device) const
    {
        ImageChoice image;
        image.build = file_->GetBuild();
        image.version = file_->GetVersion();
        image.file = params_.bird_file;
        image.source = "file";
        _check_fit(*file_, device, params_.override_model_checks, image);
        return image;
    }

    ImageChoice _newest(const DeviceInfo& device) const
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
    ImageChoice _stored(const DeviceInfo& device) const
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

    CLI_Display& display_;
    const Parameters& params_;
    std::unique_ptr<BirdFile> file_;
    std::unique_ptr<AvailableBuilds> available_;
};

std::string _firmware_text(const std::string& version, uint32_t build)
{
    if (build == 0)
        return version.empty() ? "-" : version;
    return (version.empty() ? "?" : version) + " (" + std::to_string(build) + ")";
}

std::string _image_text(const PlannedModule& planned)
{
    if (!planned.image.file.empty())
        return planned.image.file;
    if (planned.image.build == 0)
        return "-";
    return planned.image.source + " " + std::to_string(planned.image.build) + ".bird";
}

const char* _action_name(PlanAction action)
{
    switch (action) {
    case PlanAction::Update:
        return "update";
    case PlanAction::Current:
        return "current";
    case PlanAction::NoImage:
        return "no build";
    case PlanAction::DoesNotFit:
        return "does not fit";
    case PlanAction::Unreachable:
        return "unreachable";
    }
    return "";
}

// What a planned module looks like in the reports before (and unless) it runs.
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

void _print_plan(CLI_Display& display, const std::vector<PlannedModule>& plan)
{
    display.message(INFO, "Plan (dry run, nothing is touched): %zu of %zu modules to update", _planned_updates(plan),
                    plan.size());
    display.message(INFO, "%-8s  %-12s  %-18s  %-18s  %-24s  %s", "Serial", "Model", "From", "To", "Route", "Image");
    for (const PlannedModule& planned : plan) {
        const std::string from = _firmware_text(_version_text(planned.device), planned.device.build_number);
        const std::string to = _firmware_text(planned.image.version, planned.image.build);
        std::string image = _image_text(planned);
        if (planned.action != PlanAction::Update)
            image = std::string(_action_name(planned.action)) + ": " + planned.reason;
        display.message(INFO, "%-8s  %-12.12s  %-18s  %-18s  %-24s  %s", _hex(planned.device.spec.serialNumber).c_str(),
                        planned.device.model_name.c_str(), from.c_str(), to.c_str(), planned.route.c_str(),
                        image.c_str());
    }
}

json _plan_json(const std::vector<PlannedModule>& plan)
{
    json modules = json::array();
    for (const PlannedModule& planned : plan) {
        auto firmware = [](const std::string& version, uint32_t build) {
            return build == 0 && version.empty() ? json(nullptr) : json{{"version", version}, {"build", build}};
        };
        modules.push_back({
            {"serial", _hex(planned.device.spec.serialNumber)},
            {"model", planned.device.model_name},
            {"route", planned.route},
            {"from", firmware(_version_text(planned.device), planned.device.build_number)},
            {"to", firmware(planned.image.version, planned.image.build)},
            {"image",
             planned.image.build == 0 && planned.image.file.empty() ? json(nullptr) : json(_image_text(planned))},
            {"action", _action_name(planned.action)},
            {"reason", planned.reason.empty() ? json(nullptr) : json(planned.reason)},
        });
    }
    return {{"dry_run", true}, {"modules", modules}};
}

// Writes the "--json" document; false after reporting that it could not be written.
bool _write_json(CLI_Display& display, const std::string& document)
{
    if (display.write_document(document))
        return true;
    display.message(LEVEL_ERR, "Could not write the listing to standard output");
    return false;
}

// The updates of one run: the work each module's thread does, its history
// records, and what a stop does.
class BatchUpdate {
public:
    BatchUpdate(CLI_Display& display, const Parameters& params, const std::vector<PlannedModule>& plan, BatchRun& run)
        : display_(display), params_(params), plan_(plan), run_(run), recorded_(plan.size())
    {
    }

    int Run(const std::vector<BatchItem>& items)
    {
        single_ = items.size() == 1;
        if (single_)
            display_.take_errors();  // the module's record holds its own errors only
        FILE* out = display_.stream();
        const bool live = !single_ && isatty(fileno(out)) == 1;
        // One console line per module to update.
        std::vector<std::string> labels;
        rows_.assign(plan_.size(), 0);
        for (const BatchItem& item : items) {
            const DeviceInfo& device = plan_[item.index].device;
            rows_[item.index] = labels.size();
            labels.push_back(_hex(device.spec.serialNumber) + "  " + device.model_name);
        }
        console_ = std::make_unique<BatchConsole>(out, live, labels);

        BatchLimits limits{params_.batch.jobs, params_.batch.canary, params_.batch.max_failed,
                           params_.batch.max_failed_pct};
        runner_ = std::make_unique<BatchRunner>(
            limits, [this](size_t index, bool canary, ModuleOutcome& outcome) { _update(index, canary, outcome); });
        EndingSignals signals([this](int /*signal*/, int count) { return _on_signal(count); });
        runner_->Run(items, run_.modules, live ? LIVE_REDRAW_MS : 0, [this] { console_->Draw(); });
        console_->Close();
        return runner_->Stopping() ? 1 : 0;
    }

private:
    // The first signal stops starting modules; those in flight end by themselves.
    EndingSignals::Then _on_signal(int count)
    {
        if (count == 1) {
            runner_->Stop();
            return EndingSignals::Then::GoOn;
        }
        _abandon();
        return EndingSignals::Then::End;
    }

    // A second signal: the updates in flight are not waited for. Each is
    // recorded as interrupted before the signal ends the process.
    void _abandon()
    {
        std::lock_guard<std::mutex> lock(records_);
        abandoned_ = true;
        for (size_t i = 0; i < plan_.size(); ++i) {
            if (!recorded_[i].started || recorded_[i].done)
                continue;
            HistoryEntry entry = recorded_[i].entry;
            entry.interrupted = true;
            entry.error = "stopped during its update";
            _append_history(display_, params_.store_directory, _history_record(entry, Outcome()));
        }
        display_.message(LEVEL_ERR, "Stopped: the updates in flight are recorded as interrupted");
        fflush(nullptr);
    }

    HistoryEntry _entry(const PlannedModule& planned, const char* command, bool verify) const
    {
        HistoryEntry entry;
        entry.command = command;
        entry.serial = planned.device.spec.serialNumber;
        entry.router = planned.device.network_address != 0 ? planned.device.spec.routerSerialNumber : 0;
        entry.time = _utc_time_text();
        entry.message = params_.history_message;
        entry.verify = verify;
        entry.batch = run_.batch;
        return entry;
    }

    // Appends the record unless a stop has recorded the module already.
    void _record(size_t index, HistoryEntry& entry, bool ok, std::string errors, Clock::time_point start,
                 const Updater& updater, UpdaterDisplayInterface& display)
    {
        entry.ok = ok;
        entry.error = std::move(errors);
        entry.seconds = std::chrono::duration<double>(Clock::now() - start).count();
        std::lock_guard<std::mutex> lock(records_);
        if (!abandoned_)
            _append_history(display, params_.store_directory, _history_record(entry, updater.Get_Outcome()));
    }

    std::string _take_errors(UpdaterDisplayInterface& display)
    {
        return single_ ? display_.take_errors() : static_cast<ModuleDisplay&>(display).take_errors();
    }

    // "-G": the module's newest build comes from the server; its own record.
    bool _download(size_t index, const PlannedModule& planned, Updater& updater, UpdaterDisplayInterface& display)
    {
        display.update_phase("download");
        HistoryEntry entry = _entry(planned, "download", false);
        const auto start = Clock::now();
        const uint32_t build = planned.image.build;
        bool ok = updater.Download_Firmware(planned.device.spec.serialNumber, build ? std::to_string(build) : "",
                                            params_.override_model_checks, false) != 0;
        _record(index, entry, ok, _take_errors(display), start, updater, display);
        updater.Clear_Outcome();
        return ok;
    }

    void _update(size_t index, bool canary, ModuleOutcome& outcome)
    {
        const PlannedModule& planned = plan_[index];
        std::unique_ptr<ModuleDisplay> own;
        UpdaterDisplayInterface* display = &display_;
        if (!single_) {
            own = std::make_unique<ModuleDisplay>(*console_, rows_[index], planned.device.spec.serialNumber);
            display = own.get();
        }
        const bool verify = params_.verify || canary;
        Updater updater(params_.server_url, params_.store_directory, *display);
        updater.Set_UEIBytes_Load(params_.uei_bytes_load);
        updater.Set_Verify(verify);
        updater.Set_StopCheck([this] { return runner_->Stopping(); });

        const auto start = Clock::now();
        bool ok = planned.image.source != "server" || _download(index, planned, updater, *display);
        HistoryEntry entry = _entry(planned, "update", verify);
        {
            std::lock_guard<std::mutex> lock(records_);
            recorded_[index].started = true;
            recorded_[index].entry = entry;
        }
        if (ok)
            ok = updater.Update_Found(planned.device, planned.image.file.empty() ? planned.image.build : 0,
                                      planned.image.file, params_.override_model_checks);
        const Outcome& done = updater.Get_Outcome();
        std::string errors = _take_errors(*display);
        outcome.result = ok ? BatchResult::Updated : done.interrupted ? BatchResult::Interrupted : BatchResult::Failed;
        outcome.message = errors;
        if (outcome.result == BatchResult::Interrupted && outcome.message.empty())
            outcome.message = "stopped before its update could end";
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
        _record(index, entry, ok, errors, start, updater, *display);
        {
            std::lock_guard<std::mutex> lock(records_);
            recorded_[index].done = true;
        }
        outcome.seconds = std::chrono::duration<double>(Clock::now() - start).count();
        if (!single_)
            console_->Finished(rows_[index], outcome);
    }

    struct Record {
        bool started = false;
        bool done = false;
        HistoryEntry entry;
    };

    CLI_Display& display_;
    const Parameters& params_;
    const std::vector<PlannedModule>& plan_;
    BatchRun& run_;
    bool single_ = false;
    std::vector<size_t> rows_;  // each planned module's console line
    std::unique_ptr<BatchConsole> console_;
    std::unique_ptr<BatchRunner> runner_;
    std::mutex records_;  // guards recorded_ and abandoned_, and orders the history appends
    std::vector<Record> recorded_;
    bool abandoned_ = false;
};

// The summary, the "--json" document and the JUnit report; false when a
// report could not be written.
bool _report(CLI_Display& display, const Parameters& params, const BatchRun& run)
{
    bool written = true;
    if (params.json_output)
        written = _write_json(display, _batch_json_document(run));
    else
        _display_batch_summary(display, run);
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

bool _all_current(const BatchRun& run)
{
    for (const ModuleOutcome& outcome : run.modules)
        if (outcome.result == BatchResult::Failed || outcome.result == BatchResult::Interrupted)
            return false;
    return true;
}

}  // namespace

bool _check_batch_params(CLI_Display& display, const Parameters& params)
{
    const BatchParameters& batch = params.batch;
    const char* problem = nullptr;
    std::string text;
    if (!batch.invalid.empty()) {
        text = batch.invalid;
        problem = text.c_str();
    } else if ((batch.all || batch.given) && !params.commands.IsSet(CMD_UPDATE)) {
        problem = "--all and its options go with -U";
    } else if (batch.given && !batch.all) {
        problem = "--jobs, --canary, --max-failed, --dry-run, --force and --junit go with -U --all";
    } else if (batch.all && params.device_serial != 0) {
        problem = "-U --all updates every module found: leave out -d";
    } else if (batch.all && params.transport_given && params.transport == TRANSPORT_RECOVER) {
        problem = "-U --all does not recover modules: -t RECOVER takes one module at a time";
    }
    if (!problem)
        return true;
    display.message(LEVEL_ERR, "%s", problem);
    return false;
}

int _update_all(CLI_Display& display, const Parameters& params, Updater& updater)
{
    const auto start = Clock::now();
    display.message(INFO, "Searching for Tessarine devices");
    const std::vector<DeviceInfo> devices =
        updater.Discover_All_Devices(_discovery_link_type(params), params.router_serial);

    ImagePicker picker(display, params);
    if (!picker.Prepare(devices))
        return 1;
    std::vector<PlanCandidate> candidates;
    candidates.reserve(devices.size());
    for (const DeviceInfo& device : devices)
        candidates.push_back({device, picker.For(device)});
    const std::vector<PlannedModule> plan = _plan_updates(candidates, PlanRule{picker.Newest(), params.batch.force});

    if (!picker.Newest()) {
        bool fits = false;
        for (const PlannedModule& planned : plan)
            fits = fits || planned.action == PlanAction::Update || planned.action == PlanAction::Current;
        if (!fits) {
            display.message(LEVEL_ERR, "no module found that this image fits");
            return 1;
        }
    }
    if (params.batch.dry_run) {
        if (params.json_output)
            return _write_json(display, _plan_json(plan).dump(2, ' ', false, json::error_handler_t::replace) + "\n")
                       ? 0
                       : 1;
        _print_plan(display, plan);
        return 0;
    }

    BatchRun run;
    run.batch = _batch_id();
    std::vector<BatchItem> items;
    for (size_t i = 0; i < plan.size(); ++i) {
        run.modules.push_back(_outcome_of(plan[i]));
        if (plan[i].action == PlanAction::Update)
            items.push_back({i, plan[i].chain});
    }
    int status = 0;
    if (items.empty()) {
        display.message(INFO, devices.empty() ? "No modules found: nothing to do"
                                              : "Nothing to do: no module found needs an update");
    } else {
        display.message(INFO, "Updating %zu of %zu modules, %u at a time (batch %s)", items.size(), plan.size(),
                        params.batch.jobs, run.batch.c_str());
        BatchUpdate batch(display, params, plan, run);
        status = batch.Run(items);
    }
    run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (!_report(display, params, run))
        status = 1;
    return _all_current(run) ? status : 1;
}
