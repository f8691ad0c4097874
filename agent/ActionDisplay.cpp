#include "agent/ActionDisplay.h"

#include <algorithm>
#include <cstdio>

void ActionDisplay::_add(const char* text, bool error)
{
    std::lock_guard<std::mutex> lock(mutex_);
    // A message of several lines is kept line by line, empty lines left out.
    std::string rest = text ? text : "";
    size_t start = 0;
    while (start <= rest.size()) {
        size_t end = rest.find('\n', start);
        if (end == std::string::npos)
            end = rest.size();
        if (end > start)
            lines_.push_back({rest.substr(start, end - start), error});
        start = end + 1;
    }
}

void ActionDisplay::info_message(const char* text)
{
    _add(text, false);
}

void ActionDisplay::error_message(const char* text)
{
    _add(text, true);
    fprintf(stderr, "%s: %s\n", prefix_.c_str(), text);
}

void ActionDisplay::update_phase(const char* phase)
{
    std::lock_guard<std::mutex> lock(mutex_);
    phase_ = phase ? phase : "";
}

std::string ActionDisplay::Phase() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return phase_;
}

std::vector<std::string> ActionDisplay::Details(size_t count) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    size_t errors = 0;
    for (const Line& line : lines_)
        errors += line.error ? 1 : 0;
    size_t errorRoom = std::min(errors, count);
    size_t infoRoom = count - errorRoom;
    std::vector<bool> keep(lines_.size(), false);
    for (size_t i = lines_.size(); i-- > 0;) {
        size_t& room = lines_[i].error ? errorRoom : infoRoom;
        if (room > 0) {
            keep[i] = true;
            --room;
        }
    }
    std::vector<std::string> details;
    for (size_t i = 0; i < lines_.size(); ++i)
        if (keep[i])
            details.push_back(lines_[i].text);
    return details;
}

std::string ActionDisplay::Errors() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::string errors;
    for (const Line& line : lines_)
        if (line.error)
            errors += (errors.empty() ? "" : "\n") + line.text;
    return errors;
}
