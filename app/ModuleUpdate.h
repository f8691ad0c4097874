#pragma once
// The pieces every run over many modules shares ("-U --all", the station): the
// image each module would get (ImagePicker), what a planned module looks like in
// the reports, and one module's update with its history records.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/BatchOutcome.h"
#include "app/CLI_Display.h"
#include "app/History.h"
#include "app/Parameters.h"
#include "app/UpdatePlan.h"
#include "app/Updater.h"

class AvailableBuilds;
class BirdFile;

// "40F5849A".
std::string _serial_text(uint32_t serial);
// "2.15.1", empty when the module could not be queried.
std::string _version_text(const DeviceInfo& device);
// Unique enough to tell runs apart, readable enough to name in a report:
// the UTC start and a random tail, e.g. 20261208T020713Z-4f2a9c.
std::string _batch_id();

// The image each module would get, as the options choose it: the newest build
// (of the store; with -G also of the server), a stored build (-b), or one file (-f).
class ImagePicker {
public:
    ImagePicker(UpdaterDisplayInterface& display, const Parameters& params);
    ~ImagePicker();

    // False after reporting why no plan can be made (an image file that cannot
    // be read, a server that does not answer).
    bool Prepare(const std::vector<DeviceInfo>& devices);
    bool Newest() const { return available_ != nullptr; }
    ImageChoice For(const DeviceInfo& device) const;

private:
    ImageChoice _from_file(const DeviceInfo& device) const;
    ImageChoice _newest(const DeviceInfo& device) const;
    ImageChoice _stored(const DeviceInfo& device) const;

    UpdaterDisplayInterface& display_;
    const Parameters& params_;
    std::unique_ptr<BirdFile> file_;
    std::unique_ptr<AvailableBuilds> available_;
};

// What a planned module looks like in the reports before (and unless) it runs.
ModuleOutcome _outcome_of(const PlannedModule& planned);

// What the run around one module's update provides.
struct ModuleUpdateHooks {
    // The update's record as it starts (a stop by a second signal records it).
    std::function<void(const HistoryEntry& entry)> started;
    // Appends a finished record, unless a stop has recorded the module already.
    std::function<void(const HistoryEntry& entry, const Updater& updater, UpdaterDisplayInterface& display)> record;
    // The module's error messages shown since the last call.
    std::function<std::string()> takeErrors;
    // True once the run asks its updates to stop before the loader goes out.
    std::function<bool()> stopping;
};

// One planned module's update: with -G its download first, then the update,
// each with its history record (sharing the batch id). Fills the outcome's
// result, message, firmware and seconds.
void _update_module(const Parameters& params, const std::string& batch, const PlannedModule& planned, bool verify,
                    UpdaterDisplayInterface& display, const ModuleUpdateHooks& hooks, ModuleOutcome& outcome);

// The end of a run: the summary (or with "--json" the document) and with
// "--junit FILE" the JUnit report; false when a report could not be written.
bool _report_run(CLI_Display& display, const Parameters& params, const BatchRun& run);
// True when no module of the run failed or was interrupted.
bool _run_all_current(const BatchRun& run);
