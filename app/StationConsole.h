#pragma once
// What a station shows. Through a pipe one plain line per event, "TIME SERIAL
// EVENT" (appeared, current, updating, updated, failed: REASON, left), flushed
// at once so that a line controller reading it sees each event as it happens.
// On a terminal the same events scroll by, and below them the modules in
// flight (phase and progress) and a status line with the counts are redrawn
// in place.
#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>

class StationConsole {
public:
    StationConsole(FILE* out, bool live, std::string watching);

    // One event line; the module's in-flight line goes with its end.
    void Event(uint32_t serial, const std::string& event);
    void Phase(uint32_t serial, const std::string& phase);
    void Progress(uint32_t serial, double fraction);
    void Done(uint32_t serial);
    void Count(const std::string& result);
    // Live: redraws when something changed since the last time; Close leaves
    // the last drawing on the screen.
    void Draw();
    void Close();

    // "2026-12-08T09:41:11.123Z 40F5849A updated": an event line without its end.
    static std::string Line(const std::string& time, uint32_t serial, const std::string& event);

private:
    struct Flight {
        std::string phase = "looking";
        double fraction = -1;
    };
    void _erase();
    void _draw();

    FILE* out_;
    const bool live_;
    const std::string watching_;
    std::mutex mutex_;
    std::map<uint32_t, Flight> flights_;
    unsigned updated_ = 0, current_ = 0, failed_ = 0;
    size_t drawn_ = 0;
    bool dirty_ = true;
};
