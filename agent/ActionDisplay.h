#pragma once
// The display of one action's update: the console lines it writes become the
// details of the action's final feedback, and its errors also go to the agent's
// standard error, each line led by the module and the action.
#include <mutex>
#include <string>
#include <vector>

#include "app/UpdaterDisplayInterface.h"

class ActionDisplay : public UpdaterDisplayInterface {
public:
    // prefix: "40F5849A action 42"
    explicit ActionDisplay(std::string prefix) : prefix_(std::move(prefix)) {}

    void display_progress(bool active) override {}
    void update_progress(double fraction, const char* label) override {}
    void update_spinner(bool active, const char* label) override {}
    void info_message(const char* text) override;
    void error_message(const char* text) override;
    void update_phase(const char* phase) override;

    // The step the update came to last ("connect", "loader", "firmware", ...); empty: none.
    std::string Phase() const;

    // At most `count` lines for the feedback: every error line, and the latest info
    // lines besides, in the order they were written.
    std::vector<std::string> Details(size_t count) const;
    // The error lines, one per line; empty when there were none.
    std::string Errors() const;

private:
    struct Line {
        std::string text;
        bool error;
    };
    void _add(const char* text, bool error);

    const std::string prefix_;
    mutable std::mutex mutex_;
    std::vector<Line> lines_;
    std::string phase_;
};
