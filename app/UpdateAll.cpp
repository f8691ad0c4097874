#include "app/UpdateAll.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/BatchConsole.h"
#include "app/BatchReports.h"
#include "app/BatchRunner.h"
#include "app/Dispatch.h"
#include "app/EndingSignals.h"
#include "app/History.h"
#include "app/ModuleUpdate.h"
#include "app/UpdatePlan.h"
#include "common/Log.h"

namespace {

using json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;
constexpr auto INFO = UpdaterDisplayInterface::LEVEL_INFO;
constexpr auto LEVEL_ERR = UpdaterDisplayInterface::LEVEL_ERROR;
constexpr unsigned LIVE_REDRAW_MS = 100;

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
        display.message(INFO, "%-8s  %-12.12s  %-18s  %-18s  %-24s  %s",
                        _serial_text(planned.device.spec.serialNumber).c_str(), planned.device.model_name.c_str(),
                        from.c_str(), to.c_str(), planned.route.c_str(), image.c_str());
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
            {"serial", _serial_text(planned.device.spec.serialNumber)},
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
            labels.push_back(_serial_text(device.spec.serialNumber) + "  " + device.model_name);
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

    std::string _take_errors(UpdaterDisplayInterface& display)
    {
        return single_ ? display_.take_errors() : static_cast<ModuleDisplay&>(display).take_errors();
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
        ModuleUpdateHooks hooks;
        hooks.started = [this, index](const HistoryEntry& entry) {
            std::lock_guard<std::mutex> lock(records_);
            recorded_[index].started = true;
            recorded_[index].entry = entry;
        };
        // Appended unless a stop has recorded the module already.
        hooks.record = [this](const HistoryEntry& entry, const Updater& updater, UpdaterDisplayInterface& shown) {
            std::lock_guard<std::mutex> lock(records_);
            if (!abandoned_)
                _append_history(shown, params_.store_directory, _history_record(entry, updater.Get_Outcome()));
        };
        hooks.takeErrors = [this, display] { return _take_errors(*display); };
        hooks.stopping = [this] { return runner_->Stopping(); };
        _update_module(params_, run_.batch, planned, params_.verify || canary, *display, hooks, outcome);
        {
            std::lock_guard<std::mutex> lock(records_);
            recorded_[index].done = true;
        }
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
    } else if ((batch.watch || batch.station_given) && !params.commands.IsSet(CMD_UPDATE)) {
        problem = "--watch and its options go with -U";
    } else if (batch.all && batch.watch) {
        problem = "-U --all updates the modules found once, -U --watch those that appear: choose one";
    } else if (batch.given && !batch.all && !batch.watch) {
        problem = "--jobs, --canary, --max-failed, --dry-run, --force and --junit go with -U --all";
    } else if (batch.station_given && !batch.watch) {
        problem = "--interval, --log-dir, --on-done, --count and --interface go with -U --watch";
    } else if (batch.watch && batch.all_only) {
        problem = "--canary, --max-failed and --dry-run go with -U --all";
    } else if (batch.watch && params.device_serial != 0) {
        problem = "-U --watch updates every module that appears: leave out -d";
    } else if (batch.watch && params.transport_given && params.transport == TRANSPORT_RECOVER) {
        problem = "-U --watch does not recover modules: -t RECOVER takes one module at a time";
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
    if (!_report_run(display, params, run))
        status = 1;
    return _run_all_current(run) ? status : 1;
}
