#pragma once
// The agent's side of the hawkBit DDI API: one target per module, all reached
// with the tenant's gateway token. Every request is paced (RequestPacer) and
// goes through server/HTTPRequest, so the site's trust settings
// (UPDATER_CA_BUNDLE, UPDATER_PINNED_KEY) and time-outs apply to it.
#include <cstdint>
#include <functional>
#include <string>

#include "agent/RequestPacer.h"

struct DdiServer {
    std::string url;  // "https://hb.example" (the part before /{tenant}/controller)
    std::string tenant;
    std::string token;  // the gateway token
};

// A request's outcome: the server's status and body, or why no answer came.
struct DdiReply {
    long status = 0;
    std::string body;
    std::string failure;       // the transport's reason; empty when the server answered
    std::string contentRange;  // of a download's reply

    bool Answered() const { return failure.empty(); }
    bool Ok() const { return Answered() && status >= 200 && status < 300; }
    // What to tell the user: the failure, or the status.
    std::string Text() const;
};

class DdiClient {
public:
    DdiClient(DdiServer server, RequestPacer& pacer);

    // {url}/{tenant}/controller/v1/{controllerId}
    std::string Base(const std::string& controllerId) const;

    DdiReply Poll(const std::string& controllerId);
    // A link the server handed out (deploymentBase, cancelAction), as given.
    DdiReply Fetch(const std::string& href);
    DdiReply PutConfigData(const std::string& controllerId, const std::string& body);
    // POSTs to the feedback of a deploymentBase or cancelAction link.
    DdiReply Feedback(const std::string& actionHref, const std::string& body);
    // GETs an artifact from offset on (a Range request when offset > 0); the body of a
    // 2xx reply goes to sink. The token goes along only to the server's own places.
    DdiReply Download(const std::string& href, uint64_t offset,
                      const std::function<bool(const char*, unsigned long)>& sink);

    // Whether the link lies at the server's own address (scheme, host and port).
    bool OwnPlace(const std::string& href) const;

private:
    DdiReply _send(const std::string& url, const char* method, const std::string& body, bool token);

    DdiServer server_;
    RequestPacer& pacer_;
};
