// The poll loop of the gateway: discovery, polls, attributes, and what each
// poll's links ask for. The actions' own steps are in GatewayAction.cpp.
#include "agent/Gateway.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "app/History.h"
#include "common/Log.h"

namespace {

// Discovery's own messages are no business of the servers: they go to the debug log.
class QuietDisplay : public UpdaterDisplayInterface {
public:
    void display_progress(bool) override {}
    void update_progress(double, const char*) override {}
    void update_spinner(bool, const char*) override {}
    void info_message(const char* text) override { Log::log(DEBUG_APP, "agent discovery: %s\n", text); }
    void error_message(const char* text) override { Log::log(DEBUG_APP, "agent discovery: %s\n", text); }
};

std::string _host_name()
{
    char name[256] = "";
    if (gethostname(name, sizeof name - 1) != 0)
        return "";
    return name;
}

const char* _transport_name(const DeviceInfo& device)
{
    switch (device.spec.type) {
    case USB:
        return "USB";
    case TCPIP:
        return "TCPIP";
    default:
        return "other";
    }
}

std::map<std::string, std::string> _attributes(const DeviceInfo& device)
{
    std::map<std::string, std::string> attributes = {
        {"model", device.model_name},
        {"transport", _transport_name(device)},
        {"router", device.network_address != 0 ? GatewaySerialText(device.spec.routerSerialNumber) : "none"},
        {"host", _host_name()},
        {"name", device.device_name},
    };
    if (device.error == aErrNone) {
        attributes["version"] = std::to_string(device.version_major) + "." + std::to_string(device.version_minor) +
                                "." + std::to_string(device.version_patch);
        attributes["build"] = std::to_string(device.build_number);
    }
    return attributes;
}

}  // namespace

std::string GatewaySerialText(uint32_t serial)
{
    char text[16];
    snprintf(text, sizeof text, "%08X", serial);
    return text;
}

Gateway::Gateway(GatewaySettings settings, UpdaterDisplayInterface& console)
    : settings_(std::move(settings)),
      console_(console),
      pacer_(READS_PER_SECOND, WRITES_PER_SECOND),
      client_(settings_.server, pacer_),
      store_(settings_.storeDirectory),
      slots_(std::max<uint32_t>(1, settings_.jobs))
{
    for (const ActionRecord& record : store_.Load())
        saved_[record.controllerId] = record;
}

Gateway::~Gateway()
{
    Stop();
    _reap(true);
}

void Gateway::Stop()
{
    stop_ = true;
    changed_.notify_all();
}

void Gateway::_say(const std::string& controllerId, const std::string& actionId, const std::string& text, bool error)
{
    std::lock_guard<std::mutex> lock(printing_);
    std::string line = controllerId;
    if (!actionId.empty())
        line += " action " + actionId;
    line += ": " + text;
    console_.message(error ? UpdaterDisplayInterface::LEVEL_ERROR : UpdaterDisplayInterface::LEVEL_INFO, "%s",
                     line.c_str());
}

int Gateway::Run()
{
    while (!stop_) {
        const uint32_t wait = _round();
        if (fatal_)
            break;
        if (settings_.once)
            break;
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(wait), [this] { return stop_.load(); });
    }
    _reap(true);
    return fatal_ || (settings_.once && failed_) ? 1 : 0;
}

uint32_t Gateway::_round()
{
    _reap(false);
    _discover();
    std::vector<std::string> ids;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& [id, target] : targets_)
            if (target.present)
                ids.push_back(id);
    }
    unsigned answered = 0, failed = 0, refused = 0;
    for (const std::string& id : ids) {
        if (stop_)
            break;
        switch (_poll(id)) {
        case PollResult::Answered:
            ++answered;
            break;
        case PollResult::Failed:
            ++failed;
            break;
        case PollResult::Unauthorized:
            ++refused;
            break;
        }
    }
    if (refused > 0 && !everAnswered_) {
        console_.message(UpdaterDisplayInterface::LEVEL_ERROR,
                         "The server refused the gateway token (HTTP 401): check the token file and that gateway "
                         "tokens are enabled for tenant %s",
                         settings_.server.tenant.c_str());
        failed_ = true;
        fatal_ = true;
        return 0;
    }
    everAnswered_ = everAnswered_ || answered > 0;
    const uint32_t interval = settings_.pollSeconds ? settings_.pollSeconds
                              : serverSleep_        ? serverSleep_
                                                    : DEFAULT_POLL_SECONDS;
    if (answered == 0 && (failed > 0 || refused > 0)) {
        failed_ = true;
        ++failedRounds_;
        uint64_t backoff = interval;
        for (unsigned i = 1; i < failedRounds_ && backoff < MAX_BACKOFF_SECONDS; ++i)
            backoff *= 2;
        const uint32_t wait = static_cast<uint32_t>(std::min<uint64_t>(backoff, MAX_BACKOFF_SECONDS));
        console_.message(UpdaterDisplayInterface::LEVEL_ERROR, "The server %s did not answer; next poll in %u s",
                         settings_.server.url.c_str(), wait);
        return wait;
    }
    if (failed > 0 || refused > 0)
        failed_ = true;
    failedRounds_ = 0;
    return interval;
}

void Gateway::_discover()
{
    // An update in flight holds its module: the last list stands for this round.
    std::unique_lock<std::shared_mutex> modules(modules_, std::try_to_lock);
    if (!modules.owns_lock())
        return;
    QuietDisplay quiet;
    Updater updater("", settings_.storeDirectory, quiet);
    linkType type = settings_.transport;
    if (type == 0 && settings_.router == 0)
        type = USB;
    const std::vector<DeviceInfo> devices = updater.Discover_All_Devices(type, settings_.router);
    modules.unlock();

    std::vector<std::string> gone;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& [id, target] : targets_)
            target.present = false;
        for (const DeviceInfo& device : devices) {
            const std::string id = GatewaySerialText(device.spec.serialNumber);
            Target& target = targets_[id];
            if (target.device.spec.serialNumber == 0)
                _say(
                    id, "",
                    "found: " + device.model_name +
                        (device.network_address ? " behind " + GatewaySerialText(device.spec.routerSerialNumber) : ""));
            target.device = device;
            target.present = true;
        }
        for (const auto& [id, target] : targets_)
            if (!target.present)
                gone.push_back(id);
    }
    for (const std::string& id : gone)
        _close_gone(id);
}

void Gateway::_close_gone(const std::string& controllerId)
{
    std::string actionId;
    std::string href;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto running = actions_.find(controllerId);
        if (running != actions_.end() && !running->second->finished)
            return;  // its worker finds out by itself
        targets_.erase(controllerId);
        auto saved = saved_.find(controllerId);
        if (saved != saved_.end()) {
            actionId = saved->second.actionId;
            saved_.erase(saved);
        }
        auto waiting = actions_.find(controllerId);
        if (waiting != actions_.end()) {
            actionId = waiting->second->record.actionId;
            href = waiting->second->href;
        }
    }
    _say(controllerId, "", "no longer found");
    if (actionId.empty())
        return;
    if (href.empty())
        href = client_.Base(controllerId) + "/deploymentBase/" + actionId;
    const std::string reason = "module " + controllerId + " is no longer found";
    client_.Feedback(href, _ddi_feedback("closed", "failure", {reason}));
    store_.Remove(controllerId, actionId);
    _say(controllerId, actionId, "closed, failure: " + reason, true);
}

Gateway::PollResult Gateway::_poll(const std::string& controllerId)
{
    const DdiReply reply = client_.Poll(controllerId);
    if (reply.Answered() && reply.status == 401)
        return PollResult::Unauthorized;
    DdiPoll poll;
    std::string error;
    if (!reply.Ok() || !_ddi_parse_poll(reply.body, poll, error)) {
        Log::log(DEBUG_APP, "agent: poll of %s: %s %s\n", controllerId.c_str(), reply.Text().c_str(), error.c_str());
        return PollResult::Failed;
    }
    if (poll.sleepSeconds)
        serverSleep_ = *poll.sleepSeconds;
    _send_attributes(controllerId, poll.wantsConfigData);
    if (!poll.cancelHref.empty())
        _on_cancel(controllerId, poll.cancelHref);
    else if (!poll.deploymentHref.empty())
        _on_deployment(controllerId, poll.deploymentHref);
    else
        _drop_idle(controllerId, "");
    return PollResult::Answered;
}

void Gateway::_send_attributes(const std::string& controllerId, bool asked)
{
    std::map<std::string, std::string> attributes;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto target = targets_.find(controllerId);
        if (target == targets_.end())
            return;
        attributes = _attributes(target->second.device);
        // Unasked, only a change the server has not heard of yet (an update of this run).
        if (!asked && (target->second.sent.empty() || attributes == target->second.sent))
            return;
    }
    const DdiReply reply = client_.PutConfigData(controllerId, _ddi_config_data(attributes));
    std::lock_guard<std::mutex> lock(mutex_);
    auto target = targets_.find(controllerId);
    if (reply.Ok() && target != targets_.end())
        target->second.sent = attributes;
    else if (!reply.Ok())
        Log::log(DEBUG_APP, "agent: attributes of %s: %s\n", controllerId.c_str(), reply.Text().c_str());
}

// A local record that the server no longer offers is dropped: the action was
// closed or reassigned elsewhere.
void Gateway::_drop_idle(const std::string& controllerId, const std::string& keepActionId)
{
    std::string dropped;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto saved = saved_.find(controllerId);
        if (saved != saved_.end() && saved->second.actionId != keepActionId) {
            dropped = saved->second.actionId;
            saved_.erase(saved);
        }
        auto action = actions_.find(controllerId);
        if (action != actions_.end() && action->second->finished && action->second->record.actionId != keepActionId) {
            if (!action->second->closed)
                dropped = action->second->record.actionId;
            if (action->second->worker.joinable())
                action->second->worker.join();
            actions_.erase(action);
        }
    }
    if (dropped.empty())
        return;
    store_.Remove(controllerId, dropped);
    _say(controllerId, dropped, "no longer offered by the server: dropped");
}

void Gateway::_on_cancel(const std::string& controllerId, const std::string& href)
{
    const std::string actionId = _ddi_action_id(href);
    std::shared_ptr<Action> running;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = actions_.find(controllerId);
        if (found != actions_.end() && !found->second->finished && found->second->record.actionId == actionId)
            running = found->second;
        if (running && !running->updating) {
            running->cancelHref = href;
            running->cancelAsked = true;
            changed_.notify_all();
            return;  // the worker confirms before it would start the update
        }
        if (running && running->cancelHref == href)
            return;  // rejected already
        if (running)
            running->cancelHref = href;
    }
    if (running) {
        const DdiReply reply = client_.Feedback(
            href, _ddi_feedback("rejected", "none", {"the update of " + controllerId + " runs already: it completes"}));
        _say(controllerId, actionId, "cancel rejected: the update runs (" + reply.Text() + ")");
        return;
    }
    _confirm_cancel(controllerId, href, actionId);
}

void Gateway::_confirm_cancel(const std::string& controllerId, const std::string& cancelHref,
                              const std::string& actionId)
{
    ActionRecord record;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto saved = saved_.find(controllerId);
        if (saved != saved_.end() && saved->second.actionId == actionId) {
            record = saved->second;
            saved_.erase(saved);
        }
        auto action = actions_.find(controllerId);
        if (action != actions_.end() && action->second->finished && action->second->record.actionId == actionId) {
            record = action->second->record;
            if (action->second->worker.joinable())
                action->second->worker.join();
            actions_.erase(action);
        }
        auto target = targets_.find(controllerId);
        if (target != targets_.end())
            target->second.waitingHref.clear();
    }
    if (record.actionId.empty()) {
        record.controllerId = controllerId;
        record.actionId = actionId;
    }
    _cancelled(cancelHref, record);
}

void Gateway::_cancelled(const std::string& cancelHref, const ActionRecord& record)
{
    const DdiReply reply = client_.Feedback(
        cancelHref,
        _ddi_feedback("closed", "success", {"cancelled before the update of " + record.controllerId + " started"}));
    store_.Remove(record.controllerId, record.actionId);
    _say(record.controllerId, record.actionId, "cancel confirmed (" + reply.Text() + ")");
    _history(record, "update", false, "cancelled by the server before the update started", Outcome(), 0, true);
}

void Gateway::_history(const ActionRecord& record, const char* command, bool ok, const std::string& error,
                       const Outcome& outcome, double seconds, bool interrupted)
{
    HistoryEntry entry;
    entry.command = command;
    entry.serial = static_cast<uint32_t>(std::stoul(record.controllerId, nullptr, 16));
    entry.time = record.started.empty() ? _utc_time_text() : record.started;
    entry.seconds = seconds;
    entry.ok = ok;
    entry.error = error;
    entry.verify = std::string(command) == "update";
    entry.interrupted = interrupted;
    nlohmann::ordered_json history = _history_record(entry, outcome);
    history["action"] = record.actionId;
    QuietDisplay quiet;
    std::lock_guard<std::mutex> lock(printing_);
    _append_history(quiet, settings_.storeDirectory, history);
}

void Gateway::_on_deployment(const std::string& controllerId, const std::string& href)
{
    const std::string actionId = _ddi_action_id(href);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = actions_.find(controllerId);
        if (found != actions_.end() && !found->second->finished)
            return;  // under way (an action that replaces it waits for its end)
        auto target = targets_.find(controllerId);
        if (target != targets_.end() && target->second.waitingHref == href)
            return;  // still waiting: nothing changed since it was fetched
        if (stop_)
            return;
    }
    _drop_idle(controllerId, actionId);
    const DdiReply reply = client_.Fetch(href);
    if (reply.Answered() && (reply.status == 404 || reply.status == 410)) {
        _drop_idle(controllerId, "");
        return;
    }
    DdiDeployment deployment;
    std::string error;
    if (!reply.Ok() || !_ddi_parse_deployment(reply.body, deployment, error)) {
        Log::log(DEBUG_APP, "agent: deployment %s: %s %s\n", href.c_str(), reply.Text().c_str(), error.c_str());
        return;
    }
    if (deployment.actionId.empty())
        deployment.actionId = actionId;
    _start(controllerId, href, deployment);
}

void Gateway::_start(const std::string& controllerId, const std::string& href, const DdiDeployment& deployment)
{
    auto action = std::make_shared<Action>();
    action->href = href;
    action->deployment = deployment;
    std::lock_guard<std::mutex> lock(mutex_);
    auto target = targets_.find(controllerId);
    if (target == targets_.end())
        return;
    action->device = target->second.device;
    target->second.waitingHref.clear();
    auto saved = saved_.find(controllerId);
    auto previous = actions_.find(controllerId);
    if (saved != saved_.end() && saved->second.actionId == deployment.actionId) {
        action->record = saved->second;
        saved_.erase(saved);
    } else if (previous != actions_.end() && previous->second->record.actionId == deployment.actionId) {
        action->record = previous->second->record;  // it waited for its window
    } else {
        action->record.controllerId = controllerId;
        action->record.actionId = deployment.actionId;
        action->record.started = _utc_time_text();
    }
    if (previous != actions_.end()) {
        if (previous->second->worker.joinable())
            previous->second->worker.join();
        actions_.erase(previous);
    }
    actions_[controllerId] = action;
    action->worker = std::thread([this, action] { _work(action); });
}

void Gateway::_reap(bool all)
{
    std::vector<std::shared_ptr<Action>> done;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (all)
            changed_.wait(lock, [this] {
                return std::all_of(actions_.begin(), actions_.end(),
                                   [](const auto& item) { return item.second->finished; });
            });
        for (auto& [id, action] : actions_)
            if (action->finished && action->worker.joinable())
                done.push_back(action);
    }
    for (const auto& action : done)
        action->worker.join();
}
