#pragma once
// The console display: messages to standard output and standard error, and a
// one-line progress bar and spinner drawn only when standard output is a terminal.
#include <cstdio>
#include <mutex>
#include <string>

#include "app/UpdaterDisplayInterface.h"

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
    // On standard error like an error, but not among the errors a command's
    // history record keeps: the command did not fail of it.
    void warning_message(const char* text) override;

    // Standard output carries nothing but documents from now on: info messages,
    // progress bars and spinners go to standard error (drawn when it is a terminal).
    void reserve_stdout_for_documents();
    // Writes a machine-readable document (e.g. JSON) to standard output as it
    // is; false when it could not be written whole (a full disk, a closed pipe).
    bool write_document(const std::string& text);

    // The error messages shown since the last call, one per line; the history
    // records them as the error of a command.
    std::string take_errors();

    // Where info messages and progress go: standard output, or standard error
    // once standard output is reserved for documents.
    FILE* stream() const { return chatter_; }

private:
    bool _on_terminal() const;
    void _clear_line();

    FILE* chatter_ = stdout;   // info messages and progress
    std::mutex errors_mutex_;  // a signal's record takes the errors on another thread
    std::string errors_;
};
