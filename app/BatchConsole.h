#pragma once
// What the user sees while a batch of updates runs. On a terminal one line per
// module (serial, model, phase, progress) is redrawn in place; when the modules
// outnumber the terminal's rows, the lines of the modules in flight and a line
// of counts. Through a pipe each module's phases and end are plain lines, each
// beginning with the module's serial number.
//
// Every module's update talks to its own ModuleDisplay, which hands phases and
// progress to the console and keeps the module's error messages.
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "app/BatchOutcome.h"
#include "app/UpdaterDisplayInterface.h"

class BatchConsole {
public:
    // labels: one per module, "40F5849A  HubC4"; live: redraw in place.
    BatchConsole(FILE* out, bool live, std::vector<std::string> labels);

    void Phase(size_t module, const std::string& phase);
    void Progress(size_t module, double fraction);
    void Finished(size_t module, const ModuleOutcome& outcome);
    // An error message of a module (plain lines only; the summary shows it on a terminal).
    void Error(size_t module, const std::string& text);

    // Live: redraws the lines when something changed since the last time.
    void Draw();
    // Live: the last drawing; the cursor stays below it.
    void Close();

    // The text of one module's line, without its line end.
    static std::string Line(const std::string& label, const std::string& phase, double fraction, bool showBar);

private:
    struct State {
        std::string label;
        std::string phase = "waiting";
        double fraction = -1;  // below 0: no bar
        bool started = false;
        bool done = false;
    };
    std::vector<std::string> _lines() const;
    void _plain(size_t module, const std::string& text);

    FILE* out_;
    const bool live_;
    unsigned rows_;
    unsigned columns_;
    std::mutex mutex_;
    std::vector<State> states_;
    bool dirty_ = false;
    size_t drawn_ = 0;  // lines on the screen from the last drawing
};

// The display of one module's update inside a batch.
class ModuleDisplay : public UpdaterDisplayInterface {
public:
    ModuleDisplay(BatchConsole& console, size_t module, uint32_t serial)
        : console_(console), module_(module), serial_(serial)
    {
    }

    void display_progress(bool active) override;
    void update_progress(double fraction, const char* label) override;
    void update_spinner(bool active, const char* label) override {}
    void info_message(const char* text) override;
    void error_message(const char* text) override;
    void update_phase(const char* phase) override;

    // The error messages shown since the last call, one per line.
    std::string take_errors();

private:
    BatchConsole& console_;
    const size_t module_;
    const uint32_t serial_;
    std::string errors_;
};

// "updated", "failed: <why>", ... with the seconds: the last state of a module's line.
std::string _finished_phase(const ModuleOutcome& outcome);
