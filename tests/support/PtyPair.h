#pragma once
// A pseudo-terminal standing in for a serial line: the test holds the device's end (the
// simulators' raw, non-blocking master with a spare slave descriptor, so the code under
// test may close and reopen the port) and the code under test opens slavePath().

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/PtyLine.h"

class PtyPair {
public:
    PtyPair();

    bool ok() const { return line_.Master() >= 0; }
    const std::string& slavePath() const { return line_.SlavePath(); }
    int master() const { return line_.Master(); }

    bool write(const std::vector<uint8_t>& bytes);
    // Whatever arrives within timeoutMs, at most max bytes (stops early once max are in).
    std::vector<uint8_t> read(size_t max, int timeoutMs);

private:
    Sim::PtyLine line_;
};
