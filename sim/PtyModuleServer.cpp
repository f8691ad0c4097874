#include "sim/PtyModuleServer.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>

#include "common/aStreamCobs.h"

namespace Sim {

PtyModuleServer::PtyModuleServer(std::shared_ptr<VirtualModule> module) : _module(std::move(module)), _link(_module) {}

PtyModuleServer::~PtyModuleServer()
{
    Stop();
}

void PtyModuleServer::SetTrace(std::function<void(const std::string&)> trace)
{
    _link.SetTrace(std::move(trace));
}

// The COBS stream's inner transport: reads come from what the line delivered,
// writes go to the master.
aErr PtyModuleServer::_get(uint8_t* byte, void* ref)
{
    auto* self = static_cast<PtyModuleServer*>(ref);
    if (self->_inAt >= self->_in.size())
        return aErrNotReady;
    *byte = self->_in[self->_inAt++];
    return aErrNone;
}

aErr PtyModuleServer::_put(const uint8_t* byte, void* ref)
{
    return static_cast<PtyModuleServer*>(ref)->_write_all(byte, 1);
}

aErr PtyModuleServer::_write(const uint8_t* bytes, size_t length, void* ref)
{
    return static_cast<PtyModuleServer*>(ref)->_write_all(bytes, length);
}

aErr PtyModuleServer::_write_all(const uint8_t* bytes, size_t length)
{
    size_t done = 0;
    while (done < length) {
        ssize_t n = write(_line.Master(), bytes + done, length - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno == EAGAIN) {
            pollfd p{_line.Master(), POLLOUT, 0};
            if (poll(&p, 1, 2000) <= 0)
                return aErrTimeout;  // nobody reads the line
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return aErrIO;
        }
    }
    return aErrNone;
}

bool PtyModuleServer::Start(std::string& error)
{
    if (_running)
        return true;
    if (!_line.Open(error))
        return false;
    auto fail = [&](const std::string& what) {
        error = what + ": " + strerror(errno);
        _line.Close();
        return false;
    };
    if (aStream_CreateCobsEncoding(_get, _put, _write, nullptr, this, &_cobs) != aErrNone)
        return fail("creating the COBS stream");
    if (pipe2(_wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        aStream_Destroy(&_cobs);
        return fail("pipe");
    }
    _running = true;
    _thread = std::thread(&PtyModuleServer::_run, this);
    return true;
}

void PtyModuleServer::Stop()
{
    if (!_running.exchange(false))
        return;
    char b = 0;
    (void)!write(_wake[1], &b, 1);
    _thread.join();
    aStream_Destroy(&_cobs);
    _line.Close();
    close(_wake[0]);
    close(_wake[1]);
    _wake[0] = _wake[1] = -1;
}

void PtyModuleServer::_send(const ModuleByteLink::Output& output)
{
    // Whole packets only: the COBS stream frames each as it completes.
    if (!output.bytes.empty())
        aStream_Write(_cobs, output.bytes.data(), output.bytes.size());
}

void PtyModuleServer::_read_line(Clock::time_point now, bool online)
{
    uint8_t buffer[4096];
    ssize_t n = read(_line.Master(), buffer, sizeof buffer);
    if (n <= 0)
        return;
    _in.assign(buffer, buffer + n);
    _inAt = 0;
    for (;;) {
        uint8_t byte;
        aErr err = aStream_Read(_cobs, &byte, 1);
        if (err == aErrPacket) {
            ++_badFrames;
            continue;
        }
        if (err != aErrNone) {
            if (_inAt >= _in.size())
                break;  // the line's bytes are used up
            continue;
        }
        if (!online)
            continue;  // restarting: heard by nobody
        _send(_link.FromHost(&byte, 1, now));
    }
    _in.clear();
    _inAt = 0;
}

void PtyModuleServer::_run()
{
    bool wasOnline = false;
    while (_running) {
        Clock::time_point now = Clock::now();
        bool online = _module->Online(now);
        if (online && !wasOnline)
            _link.Connected(now);  // a line is always there: each start begins a link
        wasOnline = online;
        Clock::time_point deadline = _module->NextDeadline();
        int timeout = 1000;
        if (deadline != Clock::time_point::max()) {
            auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
            timeout = static_cast<int>(std::clamp<long long>(ms, 0, 1000));
        }
        pollfd fds[2] = {{_wake[0], POLLIN, 0}, {_line.Master(), POLLIN, 0}};
        if (poll(fds, 2, timeout) < 0 && errno != EINTR)
            break;
        if (fds[0].revents)
            break;
        now = Clock::now();
        if (fds[1].revents & POLLIN)
            _read_line(now, _module->Online(now));
        _send(_link.Tick(Clock::now()));
    }
}

}  // namespace Sim
