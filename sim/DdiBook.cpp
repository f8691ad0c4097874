#include "sim/DdiBook.h"

#include <openssl/evp.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace Sim {

namespace {

bool _one_of(const std::string& word, std::initializer_list<const char*> words)
{
    for (const char* w : words)
        if (word == w)
            return true;
    return false;
}

std::string _hex_digest(const EVP_MD* md, const std::string& bytes)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, md, nullptr);
    static const char* const hex = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text += hex[digest[i] >> 4];
        text += hex[digest[i] & 15];
    }
    return text;
}

bool _read_artifact(const std::string& dir, const std::string& file, DdiArtifact& artifact, std::string& error)
{
    const std::filesystem::path path = std::filesystem::path(dir) / file;
    std::ifstream in(path, std::ios::binary);
    if (!in || !std::filesystem::is_regular_file(path)) {
        error = "cannot read artifact " + path.string();
        return false;
    }
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    artifact.filename = path.filename().string();
    artifact.path = path.string();
    artifact.size = bytes.size();
    artifact.sha1 = _hex_digest(EVP_sha1(), bytes);
    artifact.md5 = _hex_digest(EVP_md5(), bytes);
    artifact.sha256 = _hex_digest(EVP_sha256(), bytes);
    return true;
}

bool _final_success(const DdiStatus& status)
{
    return status.execution == "closed" && (status.finished == "success" || status.finished == "none");
}

}  // namespace

bool DdiDeployment::Parse(const std::string& line, DdiDeployment& deployment, std::string& error)
{
    std::istringstream words(line);
    std::string word;
    words >> word;
    if (word != "deploy" || !(words >> deployment.controllerId >> deployment.file)) {
        error = "expected: deploy SERIAL FILE [options]: " + line;
        return false;
    }
    while (words >> word) {
        const size_t eq = word.find('=');
        const std::string key = word.substr(0, eq);
        const std::string value = eq == std::string::npos ? "" : word.substr(eq + 1);
        if ((key == "download" || key == "update") && _one_of(value, {"skip", "attempt", "forced"}))
            (key == "download" ? deployment.download : deployment.update) = value;
        else if (key == "window" && _one_of(value, {"available", "unavailable"}))
            deployment.window = value;
        else if (key == "version" && !value.empty())
            deployment.version = value;
        else if (word == "sha256=wrong")
            deployment.wrongSha256 = true;
        else if (word == "cancel")
            deployment.cancel = true;
        else {
            error = "unknown deployment word " + word;
            return false;
        }
    }
    return true;
}

const char* DdiStateName(DdiAction::State state)
{
    switch (state) {
    case DdiAction::State::Open:
        return "open";
    case DdiAction::State::Cancelling:
        return "cancelling";
    case DdiAction::State::Closed:
        return "closed";
    }
    return "?";
}

bool DdiBook::Deploy(const DdiDeployment& deployment, const std::string& artifactsDir, uint64_t& actionId,
                     std::string& error)
{
    DdiAction action;
    action.deployment = deployment;
    if (!_read_artifact(artifactsDir, deployment.file, action.artifact, error))
        return false;
    if (action.deployment.version.empty())
        action.deployment.version = std::filesystem::path(deployment.file).stem().string();
    if (deployment.wrongSha256)
        action.artifact.sha256 = _hex_digest(EVP_sha256(), action.artifact.sha256);
    std::lock_guard<std::mutex> lock(mutex_);
    action.id = next_++;
    action.moduleId = action.id + 100;
    action.state = deployment.cancel ? DdiAction::State::Cancelling : DdiAction::State::Open;
    actionId = action.id;
    actions_[action.id] = std::move(action);
    return true;
}

bool DdiBook::Cancel(uint64_t actionId)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = actions_.find(actionId);
    if (it == actions_.end() || it->second.state != DdiAction::State::Open)
        return false;
    it->second.state = DdiAction::State::Cancelling;
    ++it->second.change;
    return true;
}

bool DdiBook::OpenWindow(uint64_t actionId)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = actions_.find(actionId);
    if (it == actions_.end() || it->second.deployment.window.empty())
        return false;
    it->second.deployment.window = "available";
    ++it->second.change;
    return true;
}

void DdiBook::Poll(const std::string& controllerId, std::optional<DdiAction>& offered,
                   std::optional<DdiAction>& installed, bool& wantsAttributes)
{
    std::lock_guard<std::mutex> lock(mutex_);
    DdiTarget& target = targets_[controllerId];
    target.controllerId = controllerId;
    ++target.polls;
    wantsAttributes = target.wantsAttributes;
    offered.reset();
    installed.reset();
    for (const auto& [id, action] : actions_) {
        if (action.deployment.controllerId != controllerId)
            continue;
        if (action.state != DdiAction::State::Closed && !offered)
            offered = action;
        if (action.state == DdiAction::State::Closed && action.result == "success")
            installed = action;
    }
}

bool DdiBook::HasTarget(const std::string& controllerId) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return targets_.count(controllerId) != 0;
}

void DdiBook::SetAttributes(const std::string& controllerId, const std::string& mode,
                            const std::map<std::string, std::optional<std::string>>& data)
{
    std::lock_guard<std::mutex> lock(mutex_);
    DdiTarget& target = targets_[controllerId];
    if (mode == "replace")
        target.attributes.clear();
    for (const auto& [key, value] : data) {
        if (mode == "remove" || !value)
            target.attributes.erase(key);
        else
            target.attributes[key] = *value;
    }
    target.wantsAttributes = false;
}

std::optional<DdiAction> DdiBook::Action(const std::string& controllerId, uint64_t actionId) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = actions_.find(actionId);
    if (it == actions_.end() || it->second.deployment.controllerId != controllerId)
        return std::nullopt;
    return it->second;
}

int DdiBook::Feedback(const std::string& controllerId, uint64_t actionId, const DdiStatus& status)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = actions_.find(actionId);
    if (it == actions_.end() || it->second.deployment.controllerId != controllerId)
        return 404;
    DdiAction& action = it->second;
    if (action.state == DdiAction::State::Closed)
        return 410;
    if (status.cancelChannel && action.state != DdiAction::State::Cancelling)
        return 405;
    action.statuses.push_back(status);
    if (status.cancelChannel)
        _apply_cancel_status(action, status);
    else
        _apply_deployment_status(action, status);
    if (action.state == DdiAction::State::Closed && action.result == "success")
        targets_[controllerId].wantsAttributes = true;
    return 200;
}

// closed ends the action (success or none: installed); downloaded closes a
// download-only action; every other status leaves it open.
void DdiBook::_apply_deployment_status(DdiAction& action, const DdiStatus& status)
{
    if (status.execution == "closed") {
        action.state = DdiAction::State::Closed;
        action.result = _final_success(status) ? "success" : "failure";
    } else if (status.execution == "downloaded" && action.DownloadOnly()) {
        action.state = DdiAction::State::Closed;
        action.result = "downloaded";
    }
}

// A cancellation is confirmed with closed (success or none), refused with
// rejected or closed/failure (the action runs on); canceled confirms nothing.
void DdiBook::_apply_cancel_status(DdiAction& action, const DdiStatus& status)
{
    if (_final_success(status)) {
        action.state = DdiAction::State::Closed;
        action.result = "canceled";
    } else if (status.execution == "rejected" || status.execution == "closed") {
        action.state = DdiAction::State::Open;
        ++action.change;
    }
}

std::vector<DdiAction> DdiBook::Actions() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<DdiAction> all;
    for (const auto& [id, action] : actions_)
        all.push_back(action);
    return all;
}

std::vector<DdiTarget> DdiBook::Targets() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<DdiTarget> all;
    for (const auto& [id, target] : targets_)
        all.push_back(target);
    return all;
}

}  // namespace Sim
