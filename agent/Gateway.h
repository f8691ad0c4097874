#pragma once
// The gateway: every poll round it finds the modules (one discovery), polls each
// module's target, tells the server the attributes it asks for, and takes on
// what the server deploys. Each action runs on a thread of its own: the
// artifact is downloaded and checked, the update waits for a free job and for
// its maintenance window, then runs with verification; the server hears of every
// step. A cancel before the update starts is confirmed, one during the update
// rejected. What an action has come to is kept in the store (ActionStore), so
// that a restarted agent resumes it.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "agent/ActionStore.h"
#include "agent/DdiClient.h"
#include "agent/DdiMessages.h"
#include "agent/RequestPacer.h"
#include "app/Updater.h"
#include "app/UpdaterDisplayInterface.h"

// A module's serial number as the agent writes it (its controller id, the router
// and image serials in attributes and messages): eight upper-case hex digits.
std::string GatewaySerialText(uint32_t serial);

struct GatewaySettings {
    DdiServer server;
    std::string storeDirectory;  // the store itself (…/updater)
    int32_t transport = 0;       // 0: as updater -D
    uint32_t router = 0;
    uint32_t pollSeconds = 0;  // 0: the server's interval
    bool once = false;
    uint32_t jobs = 8;
};

class Gateway {
public:
    // hawkBit's limits per client address are 200 GET and 50 other requests a second.
    static constexpr unsigned READS_PER_SECOND = 150;
    static constexpr unsigned WRITES_PER_SECOND = 45;
    static constexpr uint32_t DEFAULT_POLL_SECONDS = 300;
    static constexpr uint32_t MAX_BACKOFF_SECONDS = 300;

    Gateway(GatewaySettings settings, UpdaterDisplayInterface& console);
    ~Gateway();

    // Polls until Stop (with once: one round, and the actions it started) and waits
    // for the actions in flight. The exit status: 1 when the server refused the
    // gateway token before any poll got through, or (once) a poll or an action
    // failed; else 0.
    int Run();
    // From any thread (a signal): no new poll, no new update; downloads end, updates
    // in flight end by themselves.
    void Stop();

private:
    struct Target {
        DeviceInfo device;
        bool present = false;
        std::map<std::string, std::string> sent;  // the attributes the server has
        std::string waitingHref;                  // a deployment that waits, as last fetched
    };
    struct Action {
        ActionRecord record;
        std::string href;  // the deploymentBase link; feedback goes below it
        DdiDeployment deployment;
        DeviceInfo device;
        std::thread worker;
        std::atomic<bool> cancelAsked{false};
        std::string cancelHref;
        bool updating = false;  // under mutex_: the update has begun, a cancel is rejected
        bool finished = false;  // under mutex_: the worker is done
        bool closed = false;    // under mutex_: the server has its final feedback
    };
    enum class PollResult { Answered, Failed, Unauthorized };

    // One round; the seconds until the next one.
    uint32_t _round();
    void _discover();
    PollResult _poll(const std::string& controllerId);
    void _send_attributes(const std::string& controllerId, bool asked);
    void _on_cancel(const std::string& controllerId, const std::string& href);
    void _on_deployment(const std::string& controllerId, const std::string& href);
    void _drop_idle(const std::string& controllerId, const std::string& keepActionId);
    void _close_gone(const std::string& controllerId);
    void _start(const std::string& controllerId, const std::string& href, const DdiDeployment& deployment);
    void _reap(bool all);

    // The worker of one action and its steps.
    void _work(const std::shared_ptr<Action>& shared);
    bool _download(Action& action, const DdiArtifact& artifact);
    bool _update(Action& action);
    void _resume_update(Action& action);
    bool _take_job(Action& action);
    void _give_job();
    // Intermediate feedback; false when the server says the action is over (404, 410).
    bool _progress(Action& action, const char* execution, const std::string& detail);
    // The final feedback (closed), the history record, and the action forgotten.
    void _close(Action& action, bool ok, const std::vector<std::string>& details, const Outcome& outcome,
                const std::string& errors, double seconds);
    void _confirm_cancel(const std::string& controllerId, const std::string& cancelHref, const std::string& actionId);
    // The cancel confirmed (closed) and recorded; the action forgotten.
    void _cancelled(const std::string& cancelHref, const ActionRecord& record);
    void _history(const ActionRecord& record, const char* command, bool ok, const std::string& error,
                  const Outcome& outcome, double seconds, bool interrupted);
    void _finish(Action& action);
    void _say(const std::string& controllerId, const std::string& actionId, const std::string& text,
              bool error = false);

    const GatewaySettings settings_;
    UpdaterDisplayInterface& console_;
    RequestPacer pacer_;
    DdiClient client_;
    ActionStore store_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;  // targets_, actions_, saved_, slots_ and the Action flags
    std::condition_variable changed_;
    std::map<std::string, Target> targets_;
    std::map<std::string, std::shared_ptr<Action>> actions_;
    std::map<std::string, ActionRecord> saved_;  // records of a previous run, by controllerId
    uint32_t slots_;
    // Discovery talks to every module: never while an update holds one.
    std::shared_mutex modules_;
    uint32_t serverSleep_ = 0;
    bool everAnswered_ = false;
    bool fatal_ = false;
    unsigned failedRounds_ = 0;
    std::atomic<bool> failed_{false};  // a poll or an action failed (the exit status of --once)
    std::mutex printing_;
};
