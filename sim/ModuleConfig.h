#pragma once
// What a virtual module is: its identity, its firmware, its upgrade loader's
// parameters, its transports and the faults it injects. Filled from
// "key=value" settings (vmodule's flags and configuration file) or directly by
// tests.
#include <cstdint>
#include <string>
#include <vector>

namespace Sim {

// The requests of the upgrade entity (command 95) a fault can be tied to.
enum class UpgradeStep { Init, Data, Load, Prepare, Sum, Write, Reboot, DataUEI };

const char* UpgradeStepName(UpgradeStep step);
// Case-insensitive: INIT, DATA, LOAD, PREPARE, SUM, WRITE, REBOOT, DATA_UEI.
bool ParseUpgradeStep(const std::string& text, UpgradeStep& step);

enum class FaultKind {
    DropAfterBytes,  // drop the link once the host has sent `bytes` packet bytes
    DropAtStep,      // drop the link instead of answering `step`
    WrongDataCount,  // answer a raw DATA with a count one less, not taking the bytes
    WrongSum,        // report a byte sum one more than the true one
    ErrorStatus,     // answer `step` (PREPARE, SUM or WRITE) with status `code`
    Silent,          // answer nothing (at `step` only when `anyStep` is false)
    Busy,            // refuse every request as busy (aErrBusy)
};

struct Fault {
    FaultKind kind = FaultKind::Silent;
    UpgradeStep step = UpgradeStep::Init;
    bool anyStep = true;  // Silent: every request, not only `step`
    uint64_t bytes = 0;   // DropAfterBytes
    uint8_t code = 6;     // ErrorStatus: the status byte (aErrIO by default)
    int times = 1;        // how often it fires; -1 = always
    int skip = 0;         // matching occasions to let pass before it fires

    // "wrong-sum,always", "drop-at=WRITE,after=2", "error-status=SUM,code=8",
    // "drop-after-bytes=300", "silent", "silent=SUM,times=2", "busy" ...
    // Returns false and sets error for text it does not understand.
    static bool Parse(const std::string& text, Fault& fault, std::string& error);
    std::string Describe() const;
};

enum class Transport { Tcp, Pty, None };

struct ModuleConfig {
    // Identity.
    uint32_t serialNumber = 0x40F5849A;
    uint8_t model = 7;              // HubC4
    uint32_t version = 0x2F020F00;  // packed firmware version (2.15.0)
    uint32_t build = 1000;
    std::string name = "Virtual module";
    uint8_t moduleAddress = 2;  // even, 2..254
    uint8_t routerAddress = 0;
    uint32_t protocolFeatures = 0x80000001;  // bit 31: pooled packets welcome
    uint32_t hardwareVersion = 0x00010000;
    uint32_t identifier[4] = {0x11111111, 0x22222222, 0x33333333, 0x44444444};  // option 39

    // Upgrade loader.
    bool ueiData = true;             // command 95 accepts a set of UEI option 10
    uint16_t blockSize = 1024;       // answered to PREPARE
    uint32_t loadBase = 0x20000000;  // answered to INIT
    unsigned loadPauseMs = 500;      // restart into the loader after LOAD
    unsigned rebootPauseMs = 1000;   // restart after REBOOT or a reset
    uint32_t newVersion = 0;         // firmware running after a flashed reboot (0 = unchanged)
    uint32_t newBuild = 0;
    std::string flashDir;        // where the flash images go as files ("" = memory only)
    bool startInLoader = false;  // runs its loader from the start (one a boot ROM started)

    // Link.
    unsigned heartbeatMs = 0;  // 0 = no heartbeats
    unsigned dropPauseMs = 0;  // how long a dropped link stays away

    // Transport (the module at the head of a link; attached modules have none).
    Transport transport = Transport::Tcp;
    std::string listenAddress;       // "" = the discovery interface if any, else 127.0.0.1
    uint16_t port = 0;               // 0 = any free port
    std::string discoveryInterface;  // IPv4 address to answer direct TCP/IP discovery on

    std::vector<Fault> faults;

    // Applies one "key=value" setting; false with a message for an unknown key
    // or a value that does not parse.
    bool Set(const std::string& key, const std::string& value, std::string& error);
    // Applies "key=value,key=value,..." (no faults: their text holds commas).
    bool SetList(const std::string& list, std::string& error);
};

// The keys, fault kinds and upgrade steps of a module's settings, as the simulators'
// usage texts list them; `transportKeys` adds the keys of its network and serial
// transports.
std::string ModuleSettingsUsage(bool transportKeys);

// "2.15.0" (packed as modules report it) or a number (decimal or 0x...) taken as an already packed value.
bool ParseVersion(const std::string& text, uint32_t& packed);

}  // namespace Sim
