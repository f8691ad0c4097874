#pragma once
// The module side of the upgrade entity (command 95). The running application
// takes the loader into RAM (INIT, PREPARE, DATA, SUM) and starts it (LOAD);
// the loader takes the firmware piece by piece (PREPARE, DATA or UEI option
// 10, SUM, WRITE) and reboots into it (REBOOT).
#include <cstdint>
#include <vector>

#include "sim/FaultPlan.h"
#include "sim/FlashMemory.h"
#include "sim/ModuleConfig.h"
#include "sim/ModulePacket.h"

namespace Sim {

// Sub-commands: the second payload byte of a raw command-95 packet.
enum : uint8_t {
    kUpgradeInit = 0,
    kUpgradeData = 1,
    kUpgradeLoad = 2,
    kUpgradePrepare = 3,
    kUpgradeSum = 4,
    kUpgradeWrite = 5,
    kUpgradeReboot = 6,
    kUpgradeStatus = 7,
};
constexpr uint8_t kUpgradeDataOption = 10;  // UEI option of the byte-string data

struct UpgradeCounters {
    uint64_t dataPackets = 0;
    uint64_t dataUeiStrings = 0;
    uint64_t prepares = 0;
    uint64_t sums = 0;
    uint64_t writes = 0;
    uint64_t bytesAccepted = 0;
    uint64_t bytesWritten = 0;
};

class UpgradeLoader {
public:
    UpgradeLoader(const ModuleConfig& config, FaultPlan& faults, FlashMemory& flash);

    // One command-95 packet from the host. `loaderRunning` says which firmware
    // answers: only the loader writes flash.
    void Handle(const Packet& packet, bool loaderRunning, Reaction& out);
    // What `busy` answers: status replies carry aErrBusy, other requests none.
    void HandleBusy(const Packet& packet, Reaction& out);
    // Forgets a byte string in progress (the link dropped).
    void ResetLink() { _dataString.Reset(); }
    // Whether WRITE has put anything into flash since the last boot.
    bool FlashWritten() const { return _flashWritten; }
    void Booted() { _flashWritten = false; }
    const UpgradeCounters& Counters() const { return _counters; }

private:
    bool _step_faults(UpgradeStep step, Reaction& out);
    void _status(Reaction& out, uint8_t status, const std::vector<uint8_t>& extra = {});
    void _accept(const uint8_t* data, size_t length, bool loaderRunning);
    void _prepare(const Packet& p, Reaction& out);
    void _data(const Packet& p, bool loaderRunning, Reaction& out);
    void _data_uei(const Packet& p, bool loaderRunning, Reaction& out);
    void _sum(Reaction& out);
    void _write(const Packet& p, bool loaderRunning, Reaction& out);

    const ModuleConfig& _config;
    FaultPlan& _faults;
    FlashMemory& _flash;
    bool _prepared = false;
    uint32_t _address = 0;          // load address of the block being received
    std::vector<uint8_t> _pending;  // bytes since PREPARE or the last WRITE
    Uei::ByteStringReceiver _dataString;
    bool _flashWritten = false;
    UpgradeCounters _counters;
};

}  // namespace Sim
