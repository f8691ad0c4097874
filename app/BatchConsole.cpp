#include "app/BatchConsole.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "app/PrintableText.h"
#include "common/Log.h"

namespace {

constexpr unsigned DEFAULT_ROWS = 24;
constexpr int BAR_WIDTH = 30;
constexpr size_t PHASE_WIDTH = 12;

constexpr unsigned DEFAULT_COLUMNS = 80;

winsize _terminal_size(FILE* out)
{
    winsize size{};
    if (ioctl(fileno(out), TIOCGWINSZ, &size) != 0 || size.ws_row < 3 || size.ws_col < 20) {
        size.ws_row = DEFAULT_ROWS;
        size.ws_col = DEFAULT_COLUMNS;
    }
    return size;
}

std::string _seconds(double seconds)
{
    char text[32];
    snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
}

}  // namespace

std::string _finished_phase(const ModuleOutcome& outcome)
{
    std::string phase = BatchResult_Name(outcome.result);
    if (outcome.result == BatchResult::Updated || outcome.result == BatchResult::Failed ||
        outcome.result == BatchResult::Interrupted)
        phase += " (" + _seconds(outcome.seconds) + ")";
    if (outcome.result != BatchResult::Updated && !outcome.message.empty())
        phase += ": " + outcome.message;
    std::replace(phase.begin(), phase.end(), '\n', ';');
    return phase;
}

BatchConsole::BatchConsole(FILE* out, bool live, std::vector<std::string> labels) : out_(out), live_(live)
{
    const winsize size = live ? _terminal_size(out) : winsize{DEFAULT_ROWS, DEFAULT_COLUMNS, 0, 0};
    rows_ = size.ws_row;
    columns_ = size.ws_col;
    states_.resize(labels.size());
    for (size_t i = 0; i < labels.size(); ++i)
        states_[i].label = std::move(labels[i]);
    dirty_ = live_;
}

std::string BatchConsole::Line(const std::string& label, const std::string& phase, double fraction, bool showBar)
{
    std::string line = "  " + label + "  " + phase;
    if (!showBar || fraction < 0)
        return line;
    if (phase.size() < PHASE_WIDTH)
        line.append(PHASE_WIDTH - phase.size(), ' ');
    const int filled = int(std::clamp(fraction, 0.0, 1.0) * BAR_WIDTH);
    char percent[16];
    snprintf(percent, sizeof percent, "] %3d%%", int(std::clamp(fraction, 0.0, 1.0) * 100));
    return line + " [" + std::string(size_t(filled), '=') + std::string(size_t(BAR_WIDTH - filled), ' ') + percent;
}

void BatchConsole::Phase(size_t module, const std::string& phase)
{
    std::lock_guard<std::mutex> lock(mutex_);
    State& state = states_[module];
    state.phase = _terminal_text(phase);
    state.fraction = -1;
    state.started = true;
    dirty_ = true;
    if (!live_)
        _plain(module, phase);
}

void BatchConsole::Progress(size_t module, double fraction)
{
    std::lock_guard<std::mutex> lock(mutex_);
    states_[module].fraction = fraction;
    dirty_ = true;
}

void BatchConsole::Finished(size_t module, const ModuleOutcome& outcome)
{
    std::lock_guard<std::mutex> lock(mutex_);
    State& state = states_[module];
    state.phase = _terminal_text(_finished_phase(outcome));
    state.fraction = -1;
    state.done = true;
    dirty_ = true;
    if (!live_)
        _plain(module, state.phase);
}

void BatchConsole::Error(size_t module, const std::string& text)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!live_)
        _plain(module, _terminal_text(text));
}

void BatchConsole::_plain(size_t module, const std::string& text)
{
    const std::string& label = states_[module].label;
    const std::string serial = label.substr(0, label.find(' '));
    fprintf(out_, "%s: %s\n", serial.c_str(), text.c_str());
}

std::vector<std::string> BatchConsole::_lines() const
{
    std::vector<std::string> lines;
    if (states_.size() + 1 < rows_) {
        for (const State& state : states_)
            lines.push_back(Line(state.label, state.phase, state.fraction, true));
        return lines;
    }
    // More modules than rows: those in flight, then the counts.
    size_t done = 0, waiting = 0;
    for (const State& state : states_) {
        if (state.done)
            ++done;
        else if (!state.started)
            ++waiting;
        else if (lines.size() + 2 < rows_)
            lines.push_back(Line(state.label, state.phase, state.fraction, true));
    }
    lines.push_back("  " + std::to_string(done) + " done, " + std::to_string(lines.size()) + " in flight, " +
                    std::to_string(waiting) + " waiting");
    return lines;
}

void BatchConsole::Draw()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!live_ || !dirty_)
        return;
    dirty_ = false;
    const std::vector<std::string> lines = _lines();
    std::string text;
    if (drawn_ > 0)
        text += "\r\033[" + std::to_string(drawn_) + "A";  // back to the first line of the last drawing
    // A line wider than the terminal would wrap, and the next drawing would
    // go back too few rows.
    for (const std::string& line : lines)
        text += "\r\033[K" + line.substr(0, columns_ - 1) + "\n";
    for (size_t i = lines.size(); i < drawn_; ++i)
        text += "\r\033[K\n";
    if (drawn_ > lines.size())
        text += "\033[" + std::to_string(drawn_ - lines.size()) + "A";
    drawn_ = lines.size();
    fwrite(text.data(), 1, text.size(), out_);
    fflush(out_);
}

void BatchConsole::Close()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        dirty_ = true;
    }
    Draw();
}

void ModuleDisplay::display_progress(bool active)
{
    if (!active)
        console_.Progress(module_, -1);
}

void ModuleDisplay::update_progress(double fraction, const char* label)
{
    console_.Progress(module_, fraction);
}

void ModuleDisplay::info_message(const char* text)
{
    // The phases stand for the console's messages; the debug log keeps them.
    Log::log(DEBUG_Updater, "%08X: %s\n", serial_, text);
}

void ModuleDisplay::error_message(const char* text)
{
    if (!errors_.empty())
        errors_ += '\n';
    errors_ += text;
    console_.Error(module_, text);
}

void ModuleDisplay::update_phase(const char* phase)
{
    console_.Phase(module_, phase);
}

std::string ModuleDisplay::take_errors()
{
    std::string taken;
    taken.swap(errors_);
    return taken;
}
