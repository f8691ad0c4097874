#pragma once
// The one sink for everything the user sees: messages, progress bars and
// spinners. The console program implements it; tests record into it.
#include <cstddef>

class UpdaterDisplayInterface {
public:
    // A warning tells of something the run worked around (an unusable setting
    // replaced by its default): the user sees it beside the errors, but it is
    // no failure of the command.
    enum Level { LEVEL_INFO = 0, LEVEL_ERROR = 1, LEVEL_WARNING = 2 };

    // Longest message text handed to info_message/error_message.
    static constexpr size_t MESSAGE_MAX = 2047;

    bool mute = false;

    virtual void display_progress(bool active) = 0;
    virtual void update_progress(double fraction, const char* label) = 0;
    virtual void update_spinner(bool active, const char* label) = 0;
    virtual void info_message(const char* text) = 0;
    virtual void error_message(const char* text) = 0;
    // Where a display keeps no difference, a warning is shown as an error.
    virtual void warning_message(const char* text) { error_message(text); }
    // The step an update has come to ("connect", "loader", "firmware", ...): a
    // display that shows several modules at once names it; the console's
    // messages already say it.
    virtual void update_phase(const char* phase) {}

    virtual ~UpdaterDisplayInterface() = default;

    // Formats with printf rules (cut at MESSAGE_MAX characters) and hands the
    // text to error_message for LEVEL_ERROR, to warning_message for
    // LEVEL_WARNING, to info_message otherwise.
    // Does nothing while muted.
    void message(Level level, const char* format, ...) __attribute__((format(printf, 3, 4)));

    // Muting silences message() only; progress and spinners still draw.
    void mute_messages(bool muted);
};
