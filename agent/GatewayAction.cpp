// One action of the gateway on its worker thread: download and checks, the wait
// for a job and for the maintenance window, the update with verification, and
// the feedback of every step.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <shared_mutex>
#include <stdexcept>
#include <thread>

#include "agent/ActionDisplay.h"
#include "agent/ArtifactFetch.h"
#include "agent/Gateway.h"
#include "common/Log.h"
#include "firmware/BirdFile.h"
#include "store/UpdaterStore.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t MAX_DETAILS = 40;
// The final feedback is what the rollout counts: it is tried again a few times.
constexpr unsigned CLOSE_ATTEMPTS = 5;

std::string _firmware(const std::string& version, uint32_t build)
{
    return version + " (build " + std::to_string(build) + ")";
}

// Whether the image may go to the module: a personal image's serial number, and
// the model (as "updater -U -f" checks them before it touches the module).
bool _fits(const BirdFile& bird, const DeviceInfo& device, std::string& reason)
{
    if (!bird.hasSerialOffsets && !bird.ValidateSerialNumber(device.spec.serialNumber)) {
        reason = "the image is made for module " + GatewaySerialText(bird.GetSerialNumber());
        return false;
    }
    if (!bird.ValidateModel(device.model_name.c_str())) {
        reason = "the image is not for model " + device.model_name;
        return false;
    }
    return true;
}

bool _read_file(const std::string& path, std::vector<unsigned char>& bytes)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

}  // namespace

void Gateway::_finish(Action& action)
{
    std::lock_guard<std::mutex> lock(mutex_);
    action.finished = true;
    changed_.notify_all();
}

bool Gateway::_progress(Action& action, const char* execution, const std::string& detail)
{
    const DdiReply reply = client_.Feedback(action.href, _ddi_feedback(execution, "none", {detail}));
    if (reply.Answered() && (reply.status == 404 || reply.status == 410)) {
        _say(action.record.controllerId, action.record.actionId,
             "the server closed the action (" + reply.Text() + "): dropped");
        store_.Remove(action.record.controllerId, action.record.actionId);
        std::lock_guard<std::mutex> lock(mutex_);
        action.closed = true;
        return false;
    }
    if (!reply.Ok())
        Log::log(DEBUG_APP, "agent: feedback %s of action %s: %s\n", execution, action.record.actionId.c_str(),
                 reply.Text().c_str());
    return true;
}

void Gateway::_close(Action& action, bool ok, const std::vector<std::string>& details, const Outcome& outcome,
                     const std::string& errors, double seconds)
{
    const ActionRecord& record = action.record;
    if (!ok)
        failed_ = true;
    const std::string body = _ddi_feedback("closed", ok ? "success" : "failure", details);
    DdiReply reply;
    for (unsigned attempt = 0; attempt < CLOSE_ATTEMPTS; ++attempt) {
        if (attempt > 0)
            std::this_thread::sleep_for(std::chrono::seconds(1u << attempt));
        reply = client_.Feedback(action.href, body);
        if (reply.Answered() && reply.status != 429 && reply.status < 500)
            break;
    }
    _history(record, action.deployment.DownloadOnly() ? "download" : "update", ok, errors, outcome, seconds, false);
    const std::string summary = ok ? "closed, success" : "closed, failure: " + (details.empty() ? "" : details.back());
    _say(record.controllerId, record.actionId, summary + " (" + reply.Text() + ")", !ok);
    // Undelivered, the record stays: the next poll offers the action again, and an
    // update that ran is then reported from the build the module runs.
    if (!reply.Answered()) {
        if (ok || record.phase == ActionRecord::Phase::Update)
            return;
    }
    store_.Remove(record.controllerId, record.actionId);
    std::lock_guard<std::mutex> lock(mutex_);
    action.closed = true;
}

void Gateway::_work(const std::shared_ptr<Action>& shared)
{
    Action& action = *shared;
    ActionRecord& record = action.record;
    const auto start = Clock::now();
    auto seconds = [&] { return std::chrono::duration<double>(Clock::now() - start).count(); };

    if (record.phase == ActionRecord::Phase::Update) {
        _resume_update(action);
        _finish(action);
        return;
    }
    const DdiArtifact* artifact = _ddi_artifact_for(action.deployment, action.device.model_name);
    if (!artifact) {
        _close(action, false, {"the deployment holds no image for model " + action.device.model_name}, Outcome(), "",
               seconds());
        _finish(action);
        return;
    }
    if (record.phase == ActionRecord::Phase::Download) {
        if (action.deployment.download == DdiHandling::Skip || !_download(action, *artifact)) {
            _finish(action);
            return;
        }
    }
    if (action.deployment.DownloadOnly()) {
        Outcome outcome;
        outcome.image = record.image;
        outcome.to = FirmwareId{record.version, record.build};
        _history(record, "download", true, "", outcome, seconds(), false);
        store_.Remove(record.controllerId, record.actionId);
        std::lock_guard<std::mutex> lock(mutex_);
        action.closed = true;
        action.finished = true;
        changed_.notify_all();
        return;
    }
    if (!action.deployment.UpdateDue() && !action.cancelAsked) {
        _say(record.controllerId, record.actionId, "downloaded; the update waits for its maintenance window");
        std::lock_guard<std::mutex> lock(mutex_);
        auto target = targets_.find(record.controllerId);
        if (target != targets_.end())
            target->second.waitingHref = action.href;
        action.finished = true;
        changed_.notify_all();
        return;
    }
    if (!_take_job(action)) {
        if (action.cancelAsked)
            _cancelled(action.cancelHref, record);
        std::lock_guard<std::mutex> lock(mutex_);
        action.closed = action.cancelAsked;
        action.finished = true;
        changed_.notify_all();
        return;
    }
    _update(action);
    _give_job();
    _finish(action);
}

bool Gateway::_download(Action& action, const DdiArtifact& artifact)
{
    ActionRecord& record = action.record;
    const std::string& id = record.controllerId;
    record.filename = artifact.filename;
    record.size = artifact.size;
    record.sha256 = artifact.sha256;
    store_.Save(record);
    _say(id, record.actionId, "downloading " + artifact.filename);
    if (!_progress(action, "proceeding",
                   "downloading " + artifact.filename + " (" + std::to_string(artifact.size) + " bytes) for " + id))
        return false;
    const std::string partial = store_.PartialPath(id, record.actionId);
    const FetchResult fetched = ArtifactFetch(client_, stop_).Fetch(artifact, partial);
    switch (fetched.kind) {
    case FetchResult::Kind::Done:
        break;
    case FetchResult::Kind::Mismatch:
        _close(action, false, {fetched.reason}, Outcome(), fetched.reason, 0);
        return false;
    case FetchResult::Kind::Gone:
        _say(id, record.actionId, fetched.reason + ": dropped");
        store_.Remove(id, record.actionId);
        return false;
    case FetchResult::Kind::Stopped:
        return false;
    case FetchResult::Kind::Failed:
        _say(id, record.actionId, fetched.reason + "; continued at the next poll", true);
        return false;
    }

    std::string reason;
    std::vector<unsigned char> bytes;
    try {
        BirdFile bird(partial.c_str());
        if (_fits(bird, action.device, reason) && _read_file(partial, bytes)) {
            record.build = bird.GetBuild();
            record.version = bird.GetVersion();
            const std::string name = std::to_string(record.build) + ".bird";
            UpdaterStore store(settings_.storeDirectory.c_str());
            UpdaterStoreItem item = store.AddDevice(action.device.spec.serialNumber);
            if (item.WriteFile(name.c_str(), bytes.data(), bytes.size()) != aErrNone)
                reason = "cannot write " + name + " into the store";
            record.image = item.Path() + "/" + name;
        } else if (reason.empty()) {
            reason = "cannot read " + partial;
        }
    } catch (const std::runtime_error& e) {
        reason = artifact.filename + " is no BIRD image (" + e.what() + ")";
    }
    std::error_code ignored;
    std::filesystem::remove(partial, ignored);
    if (!reason.empty()) {
        _close(action, false, {reason}, Outcome(), reason, 0);
        return false;
    }
    record.phase = ActionRecord::Phase::Downloaded;
    store_.Save(record);
    _say(id, record.actionId, "downloaded " + _firmware(record.version, record.build) + ", size and SHA-256 checked");
    return _progress(action, "downloaded",
                     artifact.filename + " downloaded and checked: " + _firmware(record.version, record.build));
}

bool Gateway::_take_job(Action& action)
{
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return slots_ > 0 || stop_ || action.cancelAsked; });
    if (stop_ || action.cancelAsked)
        return false;
    --slots_;
    action.updating = true;
    return true;
}

void Gateway::_give_job()
{
    std::lock_guard<std::mutex> lock(mutex_);
    ++slots_;
    changed_.notify_all();
}

bool Gateway::_update(Action& action)
{
    ActionRecord& record = action.record;
    const std::string& id = record.controllerId;
    const DeviceInfo& device = action.device;
    record.phase = ActionRecord::Phase::Update;
    store_.Save(record);
    _say(id, record.actionId, "updating to " + _firmware(record.version, record.build));
    if (!_progress(action, "proceeding",
                   "updating " + id + " from build " + std::to_string(device.build_number) + " to " +
                       _firmware(record.version, record.build)))
        return false;
    const auto start = Clock::now();
    ActionDisplay display(id + " action " + record.actionId);
    Updater updater("", settings_.storeDirectory, display);
    updater.Set_UEIBytes_Load(true);
    updater.Set_Verify(true);
    bool ok = false;
    {
        std::shared_lock<std::shared_mutex> modules(modules_);
        ok = updater.Update_Found(device, 0, record.image, false);
    }
    const Outcome outcome = updater.Get_Outcome();
    std::vector<std::string> details = display.Details(MAX_DETAILS - 1);
    if (ok) {
        details.push_back(id + " runs " + _firmware(record.version, record.build) + ", verified after its restart");
        std::lock_guard<std::mutex> lock(mutex_);
        auto target = targets_.find(id);
        if (target != targets_.end() && outcome.to) {
            target->second.device.build_number = outcome.to->build;
            unsigned major = 0, minor = 0, patch = 0;
            if (sscanf(outcome.to->version.c_str(), "%u.%u.%u", &major, &minor, &patch) == 3) {
                target->second.device.version_major = static_cast<uint8_t>(major);
                target->second.device.version_minor = static_cast<uint8_t>(minor);
                target->second.device.version_patch = patch;
            }
        }
    } else {
        // The transfer's own failures reach only the debug log: the step names the reason.
        const std::string phase = display.Phase();
        if (details.size() >= MAX_DETAILS - 1)
            details.erase(details.begin());
        details.push_back("the update of " + id + " failed" + (phase.empty() ? "" : " in its " + phase + " step") +
                          (phase == "loader" || phase == "restart" || phase == "firmware" || phase == "verify"
                               ? ": the module went away or refused the image"
                               : ""));
    }
    _close(action, ok, details, outcome, display.Errors(), std::chrono::duration<double>(Clock::now() - start).count());
    return ok;
}

void Gateway::_resume_update(Action& action)
{
    const ActionRecord& record = action.record;
    const DeviceInfo& device = action.device;
    const bool runs = device.error == aErrNone && device.build_number == record.build && record.build != 0;
    std::string detail = "the agent restarted during the update of " + record.controllerId +
                         "; the module runs build " + std::to_string(device.build_number);
    detail += runs ? ", the build the update put on it" : ", not build " + std::to_string(record.build);
    Outcome outcome;
    outcome.image = record.image;
    outcome.to = FirmwareId{record.version, record.build};
    outcome.from = FirmwareId{"", device.build_number};
    _close(action, runs, {detail}, outcome, runs ? "" : detail, 0);
}
