#pragma once
// A simulated module: it answers the host's packets the way a module's firmware
// does (link synchronisation, address query, heartbeats, the system entity,
// module description queries, the I2C entity, the upgrade entity) and, as a
// routing module, hands packets for the modules on its I2C bus to them.
//
// The model knows no transport: a transport feeds it the host's packets with
// Handle, sends what comes back, and calls Poll when NextDeadline is reached
// (heartbeats, the end of a restart). A Reaction whose action is Drop or
// Restart tells the transport to drop the host's connection; Online says when
// the module can be reached again. All methods are thread-safe.
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/FaultPlan.h"
#include "sim/FlashMemory.h"
#include "sim/ModuleConfig.h"
#include "sim/ModulePacket.h"
#include "sim/UpgradeLoader.h"

namespace Sim {

using Clock = std::chrono::steady_clock;

struct ModuleStats {
    uint64_t packetsReceived = 0;
    uint64_t magicAnswered = 0;
    uint64_t heartbeatsSent = 0;
    uint64_t heartbeatsAnswered = 0;
    uint64_t heartbeatsMissed = 0;       // not answered before the next one was due
    uint64_t heartbeatAnswersWrong = 0;  // answered with a value other than sent + 2
    int forceRoute = -1;                 // last route packet value, -1 = none seen
    uint8_t routeToMe = 0;
    uint64_t connections = 0;
    uint64_t drops = 0;
    uint64_t restarts = 0;
    uint64_t faultsFired = 0;
    bool loaderRunning = false;
    uint32_t version = 0;
    uint32_t build = 0;
    std::string name;
    UpgradeCounters upgrade;
};

class VirtualModule {
public:
    explicit VirtualModule(ModuleConfig config);
    VirtualModule(const VirtualModule&) = delete;
    VirtualModule& operator=(const VirtualModule&) = delete;

    uint32_t SerialNumber() const { return _config.serialNumber; }
    uint8_t ModuleAddress() const { return _config.moduleAddress; }
    const ModuleConfig& Config() const { return _config; }  // as created

    // A module on this router's I2C bus: it acknowledges at its module
    // address and answers packets addressed to it over this module's link.
    void Attach(std::shared_ptr<VirtualModule> module);
    std::vector<std::shared_ptr<VirtualModule>> Attached() const;

    void AddFault(const Fault& fault);
    void ClearFaults();

    // A host has connected (a transport's new connection) / gone.
    void HostConnected(Clock::time_point now);
    void HostDisconnected();

    Reaction Handle(const Packet& in, Clock::time_point now);
    Reaction Poll(Clock::time_point now);
    // When Poll next has something to do; Clock::time_point::max() if never.
    Clock::time_point NextDeadline() const;
    // False while the module restarts or a dropped link stays away.
    bool Online(Clock::time_point now);

    ModuleStats Stats() const;
    std::map<uint32_t, std::vector<uint8_t>> FlashImages() const;
    std::string FlashPath(uint32_t address) const;

    // Receives one line per event worth knowing (restarts, faults, ...).
    void SetLogger(std::function<void(const std::string&)> logger);

private:
    struct Heartbeat {
        bool armed = false;  // the host has begun to use the link
        Clock::time_point next;
        bool awaiting = false;
        uint8_t value = 0;
        uint64_t sent = 0;
    };

    void _log(const std::string& line);
    void _go_offline(Clock::time_point now, unsigned pauseMs, bool restart, Firmware into);
    void _complete_restart_if_due(Clock::time_point now);
    bool _online(Clock::time_point now) const { return now >= _offlineUntil; }
    void _apply(Reaction& out, Clock::time_point now);
    void _dispatch(const Packet& in, Clock::time_point now, Reaction& out);
    void _command(const Packet& in, Clock::time_point now, Reaction& out);
    void _busy(const Packet& in, Reaction& out);
    void _heartbeat_answer(const Packet& in);
    void _arm_heartbeat(Clock::time_point now);
    void _poll_heartbeat(Clock::time_point now, Reaction& out);
    void _deliver_held(Clock::time_point now, Reaction& out);
    unsigned _heartbeat_ms() const { return _heartbeatMs; }

    void _system(const Packet& in, Clock::time_point now, Reaction& out);
    aErr _system_get(const Uei::Request& r, Clock::time_point now, Reaction& out);
    aErr _system_set(const Uei::Request& r, Clock::time_point now, Reaction& out);
    void _factory_power_settings();
    void _store(const Packet& in, Reaction& out);
    void _module_info(const Packet& in, Reaction& out);
    aErr _has_uei(uint8_t command, uint8_t option, uint8_t index, uint8_t flags) const;
    void _i2c(const Packet& in, Clock::time_point now, Reaction& out);
    std::shared_ptr<VirtualModule> _on_bus(uint8_t busAddress, Clock::time_point now);

    mutable std::mutex _mutex;
    const ModuleConfig _config;
    FaultPlan _faults;
    FlashMemory _flash;
    UpgradeLoader _upgrade;

    // State the host can read and change.
    uint32_t _version;
    uint32_t _build;
    std::string _name;
    uint8_t _routerAddress;
    unsigned _heartbeatMs;
    uint8_t _led = 0;
    uint8_t _bootSlot = 0;
    uint8_t _softwareOffset = 0;
    uint8_t _routeToMe = 0;
    std::map<uint8_t, uint32_t> _powerSettings;  // power and LED settings by option, as factory set
    std::vector<uint8_t> _powerBehaviorConfig;   // the words of option 31, big-endian
    int _forceRoute = -1;
    std::map<uint8_t, std::vector<uint8_t>> _i2cRegisters;    // last bytes written per bus address
    std::map<uint8_t, Uei::ByteStringReceiver> _byteStrings;  // the strings being set, by option

    bool _loaderRunning = false;
    Clock::time_point _bootTime;
    Clock::time_point _offlineUntil = Clock::time_point::min();
    bool _restartPending = false;
    Firmware _restartInto = Firmware::Application;

    bool _hostConnected = false;
    uint64_t _bytesSinceDrop = 0;
    Heartbeat _hb;
    ModuleStats _stats;

    std::vector<std::shared_ptr<VirtualModule>> _attached;
    // Packets for modules on the bus that were restarting, delivered when they are back.
    struct Held {
        Packet packet;
        Clock::time_point since;
    };
    std::vector<Held> _held;
    std::function<void(const std::string&)> _logger;
};

}  // namespace Sim
