#include "agent/ActionStore.h"

#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include <nlohmann/json.hpp>

#include "common/Log.h"
#include "store/AtomicFile.h"

namespace {

using json = nlohmann::json;

const char* _phase_name(ActionRecord::Phase phase)
{
    switch (phase) {
    case ActionRecord::Phase::Download:
        return "download";
    case ActionRecord::Phase::Downloaded:
        return "downloaded";
    case ActionRecord::Phase::Update:
        return "update";
    }
    return "download";
}

ActionRecord::Phase _phase(const std::string& name)
{
    if (name == "update")
        return ActionRecord::Phase::Update;
    if (name == "downloaded")
        return ActionRecord::Phase::Downloaded;
    return ActionRecord::Phase::Download;
}

// File names only from the id's safe characters: an id comes from the server.
std::string _safe(const std::string& text)
{
    std::string safe;
    for (unsigned char c : text)
        safe += std::isalnum(c) || c == '-' || c == '_' ? static_cast<char>(c) : '_';
    return safe;
}

}  // namespace

ActionStore::ActionStore(const std::string& storeDirectory) : directory_(storeDirectory + "/agent")
{
    std::error_code ignored;
    std::filesystem::create_directories(directory_, ignored);
}

std::string ActionStore::_path(const std::string& controllerId, const std::string& actionId, const char* suffix) const
{
    return directory_ + "/" + _safe(controllerId) + "-" + _safe(actionId) + suffix;
}

std::string ActionStore::PartialPath(const std::string& controllerId, const std::string& actionId) const
{
    return _path(controllerId, actionId, ".part");
}

bool ActionStore::Save(const ActionRecord& record) const
{
    const json document = {{"controllerId", record.controllerId},
                           {"actionId", record.actionId},
                           {"phase", _phase_name(record.phase)},
                           {"filename", record.filename},
                           {"size", record.size},
                           {"sha256", record.sha256},
                           {"image", record.image},
                           {"build", record.build},
                           {"version", record.version},
                           {"started", record.started}};
    const std::string text = document.dump(1, ' ', false, json::error_handler_t::replace) + "\n";
    AtomicFile file(_path(record.controllerId, record.actionId, ".json"));
    if (!file.IsOpen() || file.Write(reinterpret_cast<const uint8_t*>(text.data()), text.size()) != aErrNone ||
        file.Commit() != aErrNone) {
        Log::log(DEBUG_APP, "agent: could not save the record of action %s\n", record.actionId.c_str());
        return false;
    }
    return true;
}

std::vector<ActionRecord> ActionStore::Load() const
{
    std::vector<ActionRecord> records;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(directory_, error)) {
        const std::string name = entry.path().filename().string();
        if (entry.path().extension() != ".json" || name[0] == '.')
            continue;
        std::ifstream in(entry.path());
        std::stringstream text;
        text << in.rdbuf();
        const json document = json::parse(text.str(), nullptr, false);
        if (!document.is_object() || !document.contains("controllerId") || !document.contains("actionId")) {
            Log::log(DEBUG_APP, "agent: %s is no action record, skipped\n", entry.path().c_str());
            continue;
        }
        ActionRecord record;
        record.controllerId = document.value("controllerId", "");
        record.actionId = document.value("actionId", "");
        record.phase = _phase(document.value("phase", "download"));
        record.filename = document.value("filename", "");
        record.size = document.value("size", uint64_t(0));
        record.sha256 = document.value("sha256", "");
        record.image = document.value("image", "");
        record.build = document.value("build", uint32_t(0));
        record.version = document.value("version", "");
        record.started = document.value("started", "");
        records.push_back(record);
    }
    return records;
}

void ActionStore::Remove(const std::string& controllerId, const std::string& actionId) const
{
    std::error_code ignored;
    std::filesystem::remove(_path(controllerId, actionId, ".json"), ignored);
    std::filesystem::remove(PartialPath(controllerId, actionId), ignored);
}
