#pragma once
// A module on a packetized serial line: the module holds the master side of a
// pseudo-terminal and the host opens its slave path as a serial port. Packets
// travel as COBS frames with CRC-8, through the device library's COBS stream.
// A serial line has no connection to drop: while the module restarts (or a
// dropped link stays away) it neither answers nor hears; what comes meanwhile
// is lost.
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/aStream.h"
#include "sim/ModuleConnection.h"
#include "sim/PtyLine.h"
#include "sim/VirtualModule.h"

namespace Sim {

class PtyModuleServer {
public:
    explicit PtyModuleServer(std::shared_ptr<VirtualModule> module);
    ~PtyModuleServer();
    PtyModuleServer(const PtyModuleServer&) = delete;
    PtyModuleServer& operator=(const PtyModuleServer&) = delete;

    // Opens the pseudo-terminal and starts serving on its own thread.
    bool Start(std::string& error);
    void Stop();
    // The path the host opens ("/dev/pts/N").
    const std::string& SlavePath() const { return _line.SlavePath(); }
    // Frames that failed their length or CRC check.
    uint64_t BadFrames() const { return _badFrames.load(); }

    void SetTrace(std::function<void(const std::string&)> trace);

private:
    static aErr _get(uint8_t* byte, void* ref);
    static aErr _put(const uint8_t* byte, void* ref);
    static aErr _write(const uint8_t* bytes, size_t length, void* ref);
    aErr _write_all(const uint8_t* bytes, size_t length);
    void _run();
    void _read_line(Clock::time_point now, bool online);
    void _send(const ModuleByteLink::Output& output);

    std::shared_ptr<VirtualModule> _module;
    PtyLine _line;
    aStreamRef _cobs = nullptr;
    std::vector<uint8_t> _in;  // bytes read from the line, not yet through the COBS stream
    size_t _inAt = 0;
    ModuleByteLink _link;
    std::atomic<uint64_t> _badFrames{0};
    int _wake[2] = {-1, -1};
    std::thread _thread;
    std::atomic<bool> _running{false};
};

}  // namespace Sim
