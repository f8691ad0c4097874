#pragma once
// What the simulated rollout server knows: its targets (registered by their first
// poll), the actions deployed to them and every status a target sent, with the
// rules by which a status moves an action on. No HTTP here: DdiServer answers the
// requests from it, the tests read it.
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace Sim {

// One deployment as a script line or the lab API gives it.
struct DdiDeployment {
    std::string controllerId;
    std::string file;                 // below the artifacts directory
    std::string version;              // empty: the file name without its extension
    std::string download = "forced";  // skip | attempt | forced
    std::string update = "forced";
    std::string window;        // empty (no schedule) | available | unavailable
    bool wrongSha256 = false;  // the deployment names a SHA-256 the file does not have
    bool cancel = false;       // put into cancelling at once

    // "deploy SERIAL FILE [download=..] [update=..] [window=..] [version=V] [sha256=wrong] [cancel]";
    // false (with error) for words it does not know.
    static bool Parse(const std::string& line, DdiDeployment& deployment, std::string& error);
};

struct DdiStatus {
    std::string execution;  // closed, proceeding, canceled, scheduled, rejected, resumed, downloaded, download
    std::string finished;   // success, failure, none
    std::vector<std::string> details;
    bool cancelChannel = false;  // sent to cancelAction/{id}/feedback
};

struct DdiArtifact {
    std::string filename;
    std::string path;  // on disk
    uint64_t size = 0;
    std::string sha1, md5, sha256;  // lower-case hex, as the deployment names them
};

struct DdiAction {
    enum class State { Open, Cancelling, Closed };
    uint64_t id = 0;
    uint64_t moduleId = 0;  // the software module holding the artifact
    DdiDeployment deployment;
    DdiArtifact artifact;
    State state = State::Open;
    std::string result = "none";  // when closed: success, failure, downloaded, canceled
    uint32_t change = 0;          // the poll link's c value: changes when the action does
    std::vector<DdiStatus> statuses;

    bool DownloadOnly() const { return deployment.update == "skip" && deployment.window.empty(); }
};

struct DdiTarget {
    std::string controllerId;
    std::map<std::string, std::string> attributes;
    bool wantsAttributes = true;  // a new target, after a success, or on request
    uint64_t polls = 0;
};

const char* DdiStateName(DdiAction::State state);

class DdiBook {
public:
    // Reads the artifact's size and hashes: false (with error) when the file cannot be read.
    bool Deploy(const DdiDeployment& deployment, const std::string& artifactsDir, uint64_t& actionId,
                std::string& error);
    // Puts an open action into cancelling; false when it is not open.
    bool Cancel(uint64_t actionId);
    // Opens the maintenance window of a scheduled action; false when there is none.
    bool OpenWindow(uint64_t actionId);

    // A poll: registers the target. The action to offer (the oldest open or
    // cancelling one) and the last one that succeeded, when there are.
    void Poll(const std::string& controllerId, std::optional<DdiAction>& offered, std::optional<DdiAction>& installed,
              bool& wantsAttributes);
    bool HasTarget(const std::string& controllerId) const;
    void SetAttributes(const std::string& controllerId, const std::string& mode,
                       const std::map<std::string, std::optional<std::string>>& data);

    // The action, when it belongs to this target.
    std::optional<DdiAction> Action(const std::string& controllerId, uint64_t actionId) const;
    // The HTTP status a status earns (200, 404, 405, 410) after applying it.
    int Feedback(const std::string& controllerId, uint64_t actionId, const DdiStatus& status);

    std::vector<DdiAction> Actions() const;
    std::vector<DdiTarget> Targets() const;

private:
    void _apply_deployment_status(DdiAction& action, const DdiStatus& status);
    void _apply_cancel_status(DdiAction& action, const DdiStatus& status);

    mutable std::mutex mutex_;
    std::map<uint64_t, DdiAction> actions_;
    std::map<std::string, DdiTarget> targets_;
    uint64_t next_ = 1;
};

}  // namespace Sim
