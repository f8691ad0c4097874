#pragma once
// A console display whose messages are recorded instead of printed; progress
// drawing is the real one.
#include <string>
#include <vector>

#include "app/CLI_Display.h"

class RecordingCLIDisplay : public CLI_Display {
public:
    void info_message(const char* text) override { infos.push_back(text); }
    void error_message(const char* text) override { errors.push_back(text); }

    std::vector<std::string> infos;
    std::vector<std::string> errors;
};
