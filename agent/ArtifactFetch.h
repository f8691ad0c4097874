#pragma once
// One artifact into the store: downloaded into the action's partial file
// (continued with a Range request where an earlier transfer stopped), then
// checked against the deployment's size and hash before it may become an image
// of the store. An artifact that fails a check is deleted, never kept.
#include <atomic>
#include <cstdint>
#include <string>

#include "agent/DdiClient.h"
#include "agent/DdiMessages.h"

struct FetchResult {
    enum class Kind {
        Done,      // the partial file holds the artifact, checked
        Failed,    // the transfer failed; what came so far stays for a resume
        Mismatch,  // the bytes are not the artifact: deleted
        Gone,      // the server no longer offers it (404, 410): the action is over
        Stopped,   // the agent stops
    };
    Kind kind = Kind::Failed;
    std::string reason;
};

class ArtifactFetch {
public:
    // Tries at most `attempts` transfers in a row, each one continuing the last.
    ArtifactFetch(DdiClient& client, const std::atomic<bool>& stop, unsigned attempts = 3)
        : client_(client), stop_(stop), attempts_(attempts)
    {
    }

    FetchResult Fetch(const DdiArtifact& artifact, const std::string& partialPath);

    // Whether the file's size and hash are those of the artifact (SHA-256, else
    // SHA-1 for an old artifact without one).
    static bool Matches(const std::string& path, const DdiArtifact& artifact, std::string& reason);

private:
    FetchResult _transfer(const DdiArtifact& artifact, const std::string& partialPath);

    DdiClient& client_;
    const std::atomic<bool>& stop_;
    const unsigned attempts_;
};
