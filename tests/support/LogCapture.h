#pragma once
// Captures the debug log (Log::log) in memory for the life of the object, with the
// given package bits switched on; the previous output and mask come back afterwards.
#include <cstdint>
#include <cstdio>
#include <string>

class LogCapture {
public:
    explicit LogCapture(uint32_t packages);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Everything logged so far.
    std::string Text();
    bool Contains(const std::string& fragment) { return Text().find(fragment) != std::string::npos; }
    void Clear();

private:
    FILE* stream = nullptr;
    char* buffer = nullptr;
    size_t size = 0;
    FILE* previousOutput = nullptr;
    uint32_t previousMask = 0;
};
