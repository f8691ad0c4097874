#pragma once
// The console display: messages to standard output and standard error, and a
// one-line progress bar and spinner drawn only when standard output is a terminal.
#include "common/UpdaterDisplayInterface.h"

class CLI_Display : public UpdaterDisplayInterface {
public:
    // Makes standard output and standard error unbuffered, so that progress,
    // messages and debug output appear in the order they were written.
    CLI_Display();

    void display_progress(bool active) override;
    void update_progress(double fraction, const char* label) override;
    void update_spinner(bool active, const char* label) override;
    void info_message(const char* text) override;
    void error_message(const char* text) override;
};
