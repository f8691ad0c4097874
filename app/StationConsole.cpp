#include "app/StationConsole.h"

#include <algorithm>

#include "app/BatchConsole.h"
#include "app/History.h"
#include "app/PrintableText.h"

StationConsole::StationConsole(FILE* out, bool live, std::string watching)
    : out_(out), live_(live), watching_(std::move(watching))
{
}

std::string StationConsole::Line(const std::string& time, uint32_t serial, const std::string& event)
{
    char text[16];
    snprintf(text, sizeof text, "%08X", serial);
    std::string line = time + " " + text + " " + event;
    std::replace(line.begin(), line.end(), '\n', ';');
    return line;
}

void StationConsole::Event(uint32_t serial, const std::string& event)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (live_)
        _erase();
    const std::string line = Line(_utc_time_text(), serial, _terminal_text(event));
    fprintf(out_, "%s\n", line.c_str());
    if (live_) {
        dirty_ = true;
        _draw();
    }
    fflush(out_);
}

void StationConsole::Phase(uint32_t serial, const std::string& phase)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Flight& flight = flights_[serial];
    flight.phase = _terminal_text(phase);
    flight.fraction = -1;
    dirty_ = true;
}

void StationConsole::Progress(uint32_t serial, double fraction)
{
    std::lock_guard<std::mutex> lock(mutex_);
    flights_[serial].fraction = fraction;
    dirty_ = true;
}

void StationConsole::Done(uint32_t serial)
{
    std::lock_guard<std::mutex> lock(mutex_);
    flights_.erase(serial);
    dirty_ = true;
}

void StationConsole::Count(const std::string& result)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (result == "updated")
        ++updated_;
    else if (result == "current")
        ++current_;
    else
        ++failed_;
    dirty_ = true;
}

void StationConsole::Draw()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (live_ && dirty_)
        _draw();
}

void StationConsole::Close()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!live_)
        return;
    dirty_ = true;
    _draw();
}

// Back to the first line of the last drawing, clearing it all.
void StationConsole::_erase()
{
    if (drawn_ == 0)
        return;
    std::string text = "\r\033[" + std::to_string(drawn_) + "A\033[J";
    fwrite(text.data(), 1, text.size(), out_);
    drawn_ = 0;
}

void StationConsole::_draw()
{
    _erase();
    std::string text;
    for (const auto& [serial, flight] : flights_) {
        char label[16];
        snprintf(label, sizeof label, "%08X", serial);
        text += "\r\033[K" + BatchConsole::Line(label, flight.phase, flight.fraction, true) + "\n";
    }
    text += "\r\033[K  updated " + std::to_string(updated_) + ", current " + std::to_string(current_) + ", failed " +
            std::to_string(failed_) + "; " + std::to_string(flights_.size()) + " in flight; " + watching_ + "\n";
    drawn_ = flights_.size() + 1;
    dirty_ = false;
    fwrite(text.data(), 1, text.size(), out_);
    fflush(out_);
}
