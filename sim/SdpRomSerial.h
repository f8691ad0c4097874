#pragma once
// An SDP boot ROM on a UART, played over a pseudo-terminal: the ROM holds the
// master side, the host opens SlavePath() as its serial port. Like a UART ROM
// with an inter-byte time-out, it drops a partial command after 80 ms of
// silence, so stray bytes from a host that probed the line first (an LPC sync
// "?") do not shift the commands that follow. It answers the association key
// 23 45 45 23 with the same four bytes.
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sim/PtyLine.h"
#include "sim/SdpRom.h"

namespace Sim {

class SdpRomSerial {
public:
    // A little under the 100 ms a host waits for an answer before it asks
    // again, so that the next attempt finds the ROM cleared even when this
    // thread notices the bytes late.
    static constexpr int PARTIAL_TIMEOUT_MS = 80;
    static constexpr int BURST_GAP_MS = 50;  // a line idle longer than this starts a new burst

    // With a baud rate the ROM takes and sends bytes no faster than a UART at
    // that rate (10 bits a byte); 0: as fast as the pseudo-terminal goes.
    explicit SdpRomSerial(std::shared_ptr<SdpRom> rom, unsigned baud = 0);
    ~SdpRomSerial();
    SdpRomSerial(const SdpRomSerial&) = delete;
    SdpRomSerial& operator=(const SdpRomSerial&) = delete;

    // Opens the pseudo-terminal and serves on its own thread.
    bool Start(std::string& error);
    void Stop();
    const std::string& SlavePath() const { return _line.SlavePath(); }
    SdpRom& Rom() { return *_rom; }
    // Partial commands dropped after a silence.
    unsigned DiscardedPartials() const { return _discarded.load(); }

private:
    void _run();
    void _take(const uint8_t* bytes, size_t length);
    void _send(const std::vector<uint8_t>& bytes);
    void _lineTime(size_t bytes);

    std::shared_ptr<SdpRom> _rom;
    const unsigned _baud;
    std::chrono::steady_clock::time_point _lineFree{};  // when the line has carried what it was given
    PtyLine _line;
    int _wake[2] = {-1, -1};
    std::vector<uint8_t> _command;
    std::atomic<unsigned> _discarded{0};
    std::atomic<bool> _running{false};
    std::thread _thread;
};

}  // namespace Sim
