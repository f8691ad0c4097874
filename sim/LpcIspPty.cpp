#include "sim/LpcIspPty.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/Log.h"

namespace Sim {

namespace {

constexpr size_t kInMax = 4096;      // the ROM's receive buffer: the host waits when it is full
constexpr size_t kOutMax = 1 << 20;  // answers nobody reads are dropped beyond this
constexpr int kIdlePollMs = 1000;

}  // namespace

LpcIspPty::LpcIspPty(LpcIspRomConfig config) : _rom(config) {}

LpcIspPty::~LpcIspPty()
{
    Stop();
}

void LpcIspPty::SetPacing(uint32_t bitsPerSecond)
{
    std::lock_guard lock(_mutex);
    _pacing = bitsPerSecond;
}

void LpcIspPty::SetTrace(std::function<void(const std::string&)> trace)
{
    std::lock_guard lock(_mutex);
    _trace = std::move(trace);
}

void LpcIspPty::SetEvents(std::function<void(const std::string&)> events)
{
    std::lock_guard lock(_mutex);
    _events = std::move(events);
}

bool LpcIspPty::Start(std::string& error)
{
    if (_running)
        return true;
    if (!_line.Open(error))
        return false;
    if (pipe2(_wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        error = std::string("pipe: ") + strerror(errno);
        _line.Close();
        return false;
    }
    _running = true;
    _thread = std::thread(&LpcIspPty::_run, this);
    return true;
}

void LpcIspPty::Stop()
{
    if (!_running)
        return;
    _running = false;
    char b = 0;
    (void)!write(_wake[1], &b, 1);
    _thread.join();
    _line.Close();
    close(_wake[0]);
    close(_wake[1]);
    _wake[0] = _wake[1] = -1;
}

// Hands the bytes that have arrived by now to the ROM. Paced, a byte arrives one
// character time after the one before it (or after it was sent, on an idle line).
void LpcIspPty::_take(Clock::time_point now)
{
    std::string arrived;
    if (_pacing == 0) {
        arrived.assign(_in.begin(), _in.end());
        _in.clear();
    } else {
        auto character = std::chrono::nanoseconds(10'000'000'000LL / _pacing);
        while (!_in.empty() && _rxClock + character <= now) {
            _rxClock += character;
            arrived += static_cast<char>(_in.front());
            _in.pop_front();
        }
    }
    if (arrived.empty())
        return;
    std::string answer = _rom.Receive(arrived);
    if (_trace)
        _trace("<< " + Log::Visible(arrived.data(), arrived.size()));
    if (!answer.empty() && _trace)
        _trace(">> " + Log::Visible(answer.data(), answer.size()));
    if (_out.empty())
        _txClock = std::max(_txClock, now);
    _out.insert(_out.end(), answer.begin(), answer.end());
    if (_out.size() > kOutMax)
        _out.erase(_out.begin(), _out.begin() + static_cast<long>(_out.size() - kOutMax));
    if (_rom.BaudRate() && _pacing && _rom.BaudRate() != _pacing)
        _pacing = _rom.BaudRate();
    if (_rom.Started() && !_wasStarted && _events) {
        char text[48];
        snprintf(text, sizeof text, "started 0x%08X", _rom.StartAddress());
        _events(text);
    }
    _wasStarted = _rom.Started();
}

// Puts on the line what is due by now.
void LpcIspPty::_give(Clock::time_point now)
{
    size_t due = _out.size();
    if (_pacing) {
        auto character = std::chrono::nanoseconds(10'000'000'000LL / _pacing);
        due = 0;
        for (auto t = _txClock + character; due < _out.size() && t <= now; t += character)
            ++due;
    }
    if (due == 0)
        return;
    std::string bytes(_out.begin(), _out.begin() + static_cast<long>(due));
    ssize_t n = write(_line.Master(), bytes.data(), bytes.size());
    if (n <= 0)
        return;  // the host's side is full: try again later
    _out.erase(_out.begin(), _out.begin() + n);
    if (_pacing)
        _txClock += std::chrono::nanoseconds(10'000'000'000LL / _pacing) * n;
}

int LpcIspPty::_pollTimeout(Clock::time_point now) const
{
    if (_pacing == 0)
        return kIdlePollMs;
    auto character = std::chrono::nanoseconds(10'000'000'000LL / _pacing);
    Clock::time_point next = Clock::time_point::max();
    if (!_in.empty())
        next = std::min(next, _rxClock + character);
    if (!_out.empty())
        next = std::min(next, _txClock + character);
    if (next == Clock::time_point::max())
        return kIdlePollMs;
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count() + 1;
    return static_cast<int>(std::clamp<long long>(ms, 0, kIdlePollMs));
}

void LpcIspPty::_run()
{
    for (;;) {
        bool wantIn, wantOut;
        int timeout;
        {
            std::lock_guard lock(_mutex);
            Clock::time_point now = Clock::now();
            _take(now);
            _give(now);
            wantIn = _in.size() < kInMax;
            wantOut = !_out.empty();
            timeout = _pollTimeout(Clock::now());
        }
        short events = static_cast<short>((wantIn ? POLLIN : 0) | (wantOut && timeout == kIdlePollMs ? POLLOUT : 0));
        pollfd fds[2] = {{_wake[0], POLLIN, 0}, {_line.Master(), events, 0}};
        if (poll(fds, 2, timeout) < 0 && errno != EINTR)
            break;
        if (fds[0].revents)
            break;
        if (!(fds[1].revents & POLLIN))
            continue;
        uint8_t buffer[kInMax];
        std::lock_guard lock(_mutex);
        ssize_t n = read(_line.Master(), buffer, kInMax - _in.size());
        if (n <= 0)
            continue;
        if (_in.empty())
            _rxClock = std::max(_rxClock, Clock::now());
        _in.insert(_in.end(), buffer, buffer + n);
    }
}

}  // namespace Sim
