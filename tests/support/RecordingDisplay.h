#pragma once
// A display that records everything it is asked to show, for tests of code
// that reports through UpdaterDisplayInterface.
#include <string>
#include <vector>

#include "app/UpdaterDisplayInterface.h"

namespace testsupport {

class RecordingDisplay : public UpdaterDisplayInterface {
public:
    struct Entry {
        Level level;
        std::string text;
    };

    void display_progress(bool active) override { progress_calls.push_back(active ? "on" : "off"); }
    void update_progress(double fraction, const char* label) override { progress.push_back(fraction); }
    void update_spinner(bool active, const char* label) override { spinner_calls.push_back(active); }
    void info_message(const char* text) override { messages.push_back({LEVEL_INFO, text}); }
    void error_message(const char* text) override { messages.push_back({LEVEL_ERROR, text}); }

    // The texts of one level, in order.
    std::vector<std::string> Texts(Level level) const
    {
        std::vector<std::string> texts;
        for (const Entry& entry : messages)
            if (entry.level == level)
                texts.push_back(entry.text);
        return texts;
    }
    std::vector<std::string> Infos() const { return Texts(LEVEL_INFO); }
    std::vector<std::string> Errors() const { return Texts(LEVEL_ERROR); }

    std::vector<Entry> messages;
    std::vector<std::string> progress_calls;
    std::vector<double> progress;
    std::vector<bool> spinner_calls;
};

}  // namespace testsupport
