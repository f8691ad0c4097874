#pragma once
// What the agent keeps of each open action in the store ("agent/" below the
// store directory): a small JSON file per action, written at every step, and the
// partial download beside it. A restarted agent reads them back, resumes a
// download where it stopped, and does not start an update again that had begun.
#include <cstdint>
#include <string>
#include <vector>

struct ActionRecord {
    enum class Phase { Download, Downloaded, Update };

    std::string controllerId;
    std::string actionId;
    Phase phase = Phase::Download;
    std::string filename;  // the artifact
    uint64_t size = 0;
    std::string sha256;
    std::string image;  // the checked image in the store, once downloaded
    uint32_t build = 0;
    std::string version;
    std::string started;  // UTC, ISO 8601: when the agent took the action on
};

class ActionStore {
public:
    // directory: the store directory; the records live in directory/agent.
    explicit ActionStore(const std::string& storeDirectory);

    const std::string& Directory() const { return directory_; }
    // Writes the record atomically; false when it could not be written.
    bool Save(const ActionRecord& record) const;
    // Every readable record; unreadable files are skipped (and logged).
    std::vector<ActionRecord> Load() const;
    // Forgets the action: its record and partial download.
    void Remove(const std::string& controllerId, const std::string& actionId) const;
    // Where the action's download grows until it is checked.
    std::string PartialPath(const std::string& controllerId, const std::string& actionId) const;

private:
    std::string _path(const std::string& controllerId, const std::string& actionId, const char* suffix) const;
    std::string directory_;
};
