#pragma once
// An LPC17xx boot ROM on a pseudo-terminal: the ROM holds the master side and the host
// opens SlavePath() as its serial port. A spare slave descriptor stays open so that the
// host may close and reopen the port. With pacing on, both directions move at the line
// rate (10 bit times a character), as over a real UART; otherwise as fast as the pty.
#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "sim/LpcIspRom.h"
#include "sim/PtyLine.h"

namespace Sim {

class LpcIspPty {
public:
    explicit LpcIspPty(LpcIspRomConfig config = {});
    ~LpcIspPty();
    LpcIspPty(const LpcIspPty&) = delete;
    LpcIspPty& operator=(const LpcIspPty&) = delete;

    bool Start(std::string& error);
    void Stop();
    const std::string& SlavePath() const { return _line.SlavePath(); }

    // Bits per second of the simulated line; 0 = no pacing.
    void SetPacing(uint32_t bitsPerSecond);
    // Runs fn on the ROM while the line is held still.
    template <class F>
    auto With(F fn)
    {
        std::lock_guard lock(_mutex);
        return fn(_rom);
    }
    // Called (on the server's thread) with "<< text" for what the host sent and ">> text"
    // for what the ROM answered.
    void SetTrace(std::function<void(const std::string&)> trace);
    // Called on the server's thread when the chip leaves the ROM ("started 0x00000000").
    void SetEvents(std::function<void(const std::string&)> events);

private:
    using Clock = std::chrono::steady_clock;
    void _run();
    void _take(Clock::time_point now);
    void _give(Clock::time_point now);
    int _pollTimeout(Clock::time_point now) const;

    LpcIspRom _rom;
    std::mutex _mutex;  // the ROM, the queues and the pacing
    uint32_t _pacing = 0;
    std::deque<uint8_t> _in;   // read from the line, not yet arrived at the ROM
    std::deque<uint8_t> _out;  // answered, not yet on the line
    Clock::time_point _rxClock{}, _txClock{};
    bool _wasStarted = false;
    std::function<void(const std::string&)> _trace, _events;

    PtyLine _line;
    int _wake[2] = {-1, -1};
    std::thread _thread;
    bool _running = false;
};

}  // namespace Sim
