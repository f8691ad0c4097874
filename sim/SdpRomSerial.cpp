#include "sim/SdpRomSerial.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

namespace Sim {

namespace {

const uint8_t kAssociationKey[4] = {0x23, 0x45, 0x45, 0x23};

}  // namespace

SdpRomSerial::SdpRomSerial(std::shared_ptr<SdpRom> rom, unsigned baud) : _rom(std::move(rom)), _baud(baud) {}

// Holds the ROM for as long as the bytes take on the line.
void SdpRomSerial::_lineTime(size_t bytes)
{
    if (_baud)
        std::this_thread::sleep_for(std::chrono::microseconds(bytes * 10'000'000ull / _baud));
}

SdpRomSerial::~SdpRomSerial()
{
    Stop();
    if (_spareSlave >= 0)
        close(_spareSlave);
    if (_master >= 0)
        close(_master);
}

bool SdpRomSerial::Start(std::string& error)
{
    _master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    char name[128];
    if (_master < 0 || grantpt(_master) != 0 || unlockpt(_master) != 0 || ptsname_r(_master, name, sizeof name) != 0) {
        error = std::string("cannot open a pseudo-terminal: ") + strerror(errno);
        return false;
    }
    _slavePath = name;
    struct termios settings;
    tcgetattr(_master, &settings);
    cfmakeraw(&settings);  // a fresh pty echoes
    tcsetattr(_master, TCSANOW, &settings);
    // Held open so that the master keeps working while the host closes and reopens the port.
    _spareSlave = open(name, O_RDWR | O_NOCTTY);
    if (_spareSlave < 0 || pipe(_wake) != 0) {
        error = std::string("cannot open ") + name + ": " + strerror(errno);
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
        struct pollfd fds[2] = {{_master, POLLIN, 0}, {_wake[0], POLLIN, 0}};
        if (poll(fds, 2, wait) < 0 && errno != EINTR)
            break;
        if (fds[1].revents)
            break;
        if (!(fds[0].revents & POLLIN))
            continue;
        // Paced, a block is what the line brings in a few milliseconds.
        ssize_t n = read(_master, block, _baud ? std::min<size_t>(sizeof block, 64) : sizeof block);
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
        ssize_t n = write(_master, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return;
        struct pollfd fds[2] = {{_master, POLLOUT, 0}, {_wake[0], POLLIN, 0}};
        poll(fds, 2, 100);
    }
}

}  // namespace Sim
