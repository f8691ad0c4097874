#pragma once
// The JSON of the hawkBit DDI API as the agent reads and writes it: the poll's
// answer, a deployment, a cancel request, feedback and attributes. Pure text in,
// records out: nothing here talks to a server.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

// What a poll of one target asks for; empty links: nothing to do.
struct DdiPoll {
    std::optional<uint32_t> sleepSeconds;  // the server's polling interval, when it sent a readable one
    std::string deploymentHref;
    std::string cancelHref;
    bool wantsConfigData = false;
};

// The action id in a deploymentBase or cancelAction link: the path element after
// the resource name ("…/deploymentBase/42?c=-913027" gives "42"); empty when none.
std::string _ddi_action_id(const std::string& href);

// One artifact of a deployment, with the link to download it from.
struct DdiArtifact {
    std::string filename;
    uint64_t size = 0;
    std::string sha256;  // lower-case hex; empty when the server sent none
    std::string sha1;
    std::string href;   // "download" (https) when given, else "download-http"
    std::string chunk;  // the name of its software module (one per model)
};

enum class DdiHandling { Skip, Attempt, Forced };

struct DdiDeployment {
    std::string actionId;
    DdiHandling download = DdiHandling::Forced;
    DdiHandling update = DdiHandling::Forced;
    std::optional<bool> windowAvailable;  // none: the action has no maintenance window
    std::string version;                  // of the chunk holding the artifact
    std::vector<DdiArtifact> artifacts;

    // Download-only: download forced, update skip, no maintenance window; it ends with
    // "downloaded", which closes it.
    bool DownloadOnly() const
    {
        return download == DdiHandling::Forced && update == DdiHandling::Skip && !windowAvailable;
    }
    // The update may run now: it is not skipped and no window holds it back.
    bool UpdateDue() const { return update != DdiHandling::Skip && windowAvailable.value_or(true); }
};

// The BIRD image of a deployment for a module of the model: the artifact of the
// software module named as the model, else the one artifact of the deployment's
// only software module. Null when there is none.
const DdiArtifact* _ddi_artifact_for(const DdiDeployment& deployment, const std::string& model);

// "HH:MM:SS", or an ISO-8601 duration "PT36H", "P1DT2H30M", "PT45.5S"; none when
// the text is neither.
std::optional<uint32_t> _ddi_seconds(const std::string& text);

// False with a reason when the body is not what the API answers.
bool _ddi_parse_poll(const std::string& body, DdiPoll& poll, std::string& error);
bool _ddi_parse_deployment(const std::string& body, DdiDeployment& deployment, std::string& error);

// A feedback body: {"status": {"execution", "result": {"finished"}, "details": [...]}}.
// No timestamp: the server's clock is the one the rollout trusts. Details are
// kept to the API's limits (the newest lines when there are too many).
std::string _ddi_feedback(const std::string& execution, const std::string& finished,
                          const std::vector<std::string>& details);

// {"mode": "merge", "data": {...}}: keys and values cut to 128 characters, and
// characters the server refuses replaced by '_'; empty values left out.
std::string _ddi_config_data(const std::map<std::string, std::string>& attributes);
