#include "sim/SdpRomSerial.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

namespace Sim {

namespace {

const uint8_t kAssociationKey[4] = {0x23, 0x45, 0x45, 0x23};

}  // namespace

SdpRomSerial::SdpRomSerial(std::shared_ptr<SdpRom> rom, unsigned baud) : _rom(std::move(rom)), _baud(baud) {}

// Holds the ROM for as long as the bytes take on the line. A burst keeps to one schedule,
// so that a thread woken late catches up instead of slowing the line down by its delays.
void SdpRomSerial::_lineTime(size_t bytes)
{
    if (!_baud)
        return;
    auto now = std::chrono::steady_clock::now();
    bool sameBurst = now - _lineFree < std::chrono::milliseconds(BURST_GAP_MS);
    _lineFree = (sameBurst ? _lineFree : now) + std::chrono::microseconds(bytes * 10'000'000ull / _baud);
    std::this_thread::sleep_until(_lineFree);
}

SdpRomSerial::~SdpRomSerial()
{
    Stop();
}

bool SdpRomSerial::Start(std::string& error)
{
    if (_running)
        return true;
    if (!_line.Open(error))
        return false;
    if (pipe2(_wake, O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + strerror(errno);
        _line.Close();
        return false;
    }
    _running = true;
    _thread = std::thread([this] { _run(); });
    return true;
}

void SdpRomSerial::Stop()
{
    if (!_running.exchange(false))
        return;
    char byte = 0;
    (void)!write(_wake[1], &byte, 1);
    if (_thread.joinable())
        _thread.join();
    close(_wake[0]);
    close(_wake[1]);
    _wake[0] = _wake[1] = -1;
}

void SdpRomSerial::_run()
{
    using Clock = std::chrono::steady_clock;
    Clock::time_point lastByte = Clock::now();
    uint8_t block[4096];
    while (_running) {
        int wait = -1;
        if (!_command.empty()) {
            auto quiet = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - lastByte).count();
            if (quiet >= PARTIAL_TIMEOUT_MS) {
                _command.clear();
                ++_discarded;
                continue;
            }
            wait = static_cast<int>(PARTIAL_TIMEOUT_MS - quiet);
        }
        struct pollfd fds[2] = {{_line.Master(), POLLIN, 0}, {_wake[0], POLLIN, 0}};
        if (poll(fds, 2, wait) < 0 && errno != EINTR)
            break;
        if (fds[1].revents)
            break;
        if (!(fds[0].revents & POLLIN))
            continue;
        // Paced, a block is what the line brings in a few milliseconds.
        ssize_t n = read(_line.Master(), block, _baud ? std::min<size_t>(sizeof block, 64) : sizeof block);
        if (n <= 0)
            continue;
        _lineTime(static_cast<size_t>(n));
        // The silence counts even when this thread was slow to notice it.
        Clock::time_point now = Clock::now();
        if (!_command.empty() && now - lastByte >= std::chrono::milliseconds(PARTIAL_TIMEOUT_MS)) {
            _command.clear();
            ++_discarded;
        }
        lastByte = now;
        _take(block, static_cast<size_t>(n));
    }
}

void SdpRomSerial::_take(const uint8_t* bytes, size_t length)
{
    size_t at = 0;
    while (at < length) {
        if (_command.empty() && _rom->DataExpected()) {
            size_t taken = 0;
            _send(SdpRom::SerialBytes(_rom->Data(bytes + at, length - at, taken)));
            at += taken;
            continue;
        }
        _command.push_back(bytes[at++]);
        if (_command.size() == sizeof kAssociationKey &&
            std::equal(_command.begin(), _command.end(), kAssociationKey)) {
            _send(_command);
            _command.clear();
        } else if (_command.size() == SdpRom::COMMAND_SIZE) {
            std::vector<SdpRom::Reply> replies = _rom->Command(_command.data());
            _command.clear();
            _send(SdpRom::SerialBytes(replies));
        }
    }
}

// Writes everything unless the ROM is stopped meanwhile.
void SdpRomSerial::_send(const std::vector<uint8_t>& bytes)
{
    _lineTime(bytes.size());
    size_t done = 0;
    while (done < bytes.size() && _running) {
        ssize_t n = write(_line.Master(), bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return;
        struct pollfd fds[2] = {{_line.Master(), POLLOUT, 0}, {_wake[0], POLLIN, 0}};
        poll(fds, 2, 100);
    }
}

}  // namespace Sim
