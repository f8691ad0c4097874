#pragma once
// The update orchestration: one Updater per run drives discovery, build lists,
// downloads, device tokens, updates and recoveries. Each operation opens what
// it needs (store, firmware file, modules) and releases it on return.
//
// The operations live in their own files: UpdaterBuilds.cpp (build lists,
// download, token), UpdaterDiscovery.cpp, UpdaterUpdate.cpp and
// UpdaterRecovery.cpp.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/UpdaterDisplayInterface.h"
#include "common/aLinkSpec.h"
#include "firmware/BirdFile.h"
#include "unix/aError.h"

// One discovered module.
struct DeviceInfo {
    linkSpec spec{};               // how the module is reached
    uint16_t network_address = 0;  // I2C address behind a router (network discovery only)
    uint32_t build_number = 0;
    uint8_t version_major = 0;
    uint8_t version_minor = 0;
    uint32_t version_patch = 0;
    std::string model_name;
    std::string device_name;  // stored in the module (firmware 2.10.4 and later)
    aErr error = aErrNone;    // first failure while querying the module
};

// Four words that identify a chip in recovery.
struct Fingerprint {
    uint32_t words[4] = {0, 0, 0, 0};
};

// Build-number text to version text.
typedef std::map<std::string, std::string> BuildMap;

// Serial number that stands for an unknown device in recovery.
constexpr uint32_t UNKNOWN_DEVICE_SERIAL = 0xDEADDEAD;

// The chip a recovery talks to, as identification found it.
enum RecoveryChip : int { RECOVERY_CHIP_NONE = 0, RECOVERY_CHIP_IMX = 1, RECOVERY_CHIP_LPC = 2 };

// A firmware as a module reports it, or as an image's information block names it.
struct FirmwareId {
    std::string version;  // "2.16.1"
    uint32_t build = 0;
};

// Size and SHA-256 (lower-case hex) of an image.
struct ImageDigest {
    uint64_t bytes = 0;
    std::string sha256;
};

// What the last update, recovery or download did, beyond its result: the
// history and "--json" report it. Cleared by Clear_Outcome and filled as the
// operation goes.
struct Outcome {
    uint32_t serial = 0;                // the module, when a recovery learnt it from the server
    std::string transport;              // "USB", "TCPIP" or the recovery port; empty: none reached
    std::optional<FirmwareId> from;     // what the module ran before the update
    std::optional<FirmwareId> to;       // the image's information block
    std::string image;                  // the image file sent or stored
    std::optional<ImageDigest> digest;  // of the image's bytes, when known without reading it back
    std::optional<bool> verified;       // set only when "--verify" had something to check
    bool interrupted = false;           // a stop was asked before the update could end
};

class UpdaterStore;
namespace Kestrune::Tessarine {
class Module;
}

// Opens the store on store_path; on failure reports it for the calling operation and
// returns null.
std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display, const std::string& store_path,
                                                  const char* caller);

class Updater {
public:
    Updater(const std::string& server_url, const std::string& store_path, UpdaterDisplayInterface& display);

    const std::string& Get_ServerURL() const { return server_url; }
    const std::string& Get_StorePath() const { return store_path; }
    UpdaterDisplayInterface& Get_Display() const { return display; }

    void Set_UEIBytes_Load(bool enable) { uei_bytes_load = enable; }
    bool Get_UEIBytes_Load() const { return uei_bytes_load; }

    // "--verify": after the reboot an update or an i.MX recovery waits for the
    // module to come back and compares the firmware it runs with the image.
    void Set_Verify(bool enable) { verify = enable; }
    // The outcome so far; also read from the thread that records a run a
    // signal ends, so every change goes through Note_Outcome.
    Outcome Get_Outcome() const;
    void Clear_Outcome();
    void Note_Outcome(const std::function<void(Outcome&)>& change);
    int Get_RecoveryChip() const { return recovery_chip; }

    // Discovery. Type 0 searches USB and then TCP/IP; for a router, type 0
    // means: find the router's own link type first.
    std::vector<DeviceInfo> Discover_Devices(linkType type);
    std::vector<DeviceInfo> Discover_TSNetwork_Devices(uint32_t router_serial, linkType type);
    // The modules on the bus of a router that discovery already found (its spec):
    // the bus scan alone, silent when the router cannot be reached.
    std::vector<DeviceInfo> Discover_Routed(const linkSpec& router);
    // Every module there is to update: with a router serial number the modules
    // behind that router; otherwise the modules reached directly (as
    // Discover_Devices) followed by the modules on each one's bus.
    std::vector<DeviceInfo> Discover_All_Devices(linkType type, uint32_t router_serial);
    // The modules on the transport (USB or TCP/IP) by their specs alone, none
    // connected; then one of them queried as discovery does (a station looks at
    // each module once, when it appears).
    // Each module is also handed to `each` as it answers (a TCP/IP discovery
    // waits out its reply window before it returns).
    std::vector<DeviceInfo> Find_Devices(linkType type, const std::function<void(const DeviceInfo&)>& each = {});
    // The modules that module servers announce: those of this host (its local
    // discovery), and with an interface (IPv4, network order) those whose
    // beacons reach it there. Specs alone, as Find_Devices.
    std::vector<DeviceInfo> Find_Served_Devices(uint32_t networkInterface);
    void Query_Found(DeviceInfo& device);

    // Build lists (empty on failure), download (the build number stored, 0 on
    // failure) and device token (empty on failure). A failed request to the
    // server leaves its reason in *failure (empty when the server answered), so
    // that no failure is taken for a device without builds.
    BuildMap Get_BuildList(uint32_t serial, std::string* failure = nullptr);
    BuildMap Get_BuildListLocal(uint32_t serial);
    uint32_t Download_Firmware(uint32_t serial, const std::string& build, bool override_checks, bool no_calibration);
    std::string Get_JWT(uint32_t serial);

    // The BIRD file for an update or a recovery: the given file, else the device's stored
    // build, downloaded first when it is missing and download_if_missing is set. Throws
    // std::runtime_error when the file cannot be read.
    BirdFile load_bird(const char* action, const std::string& bird_file, uint32_t serial, uint32_t build,
                       bool download_if_missing);

    // Firmware update of a running module; build 0 lets the update choose.
    bool Update_Firmware(uint32_t serial, uint32_t build, const std::string& bird_file, uint8_t module_address,
                         uint32_t router_serial, bool override_checks);
    // The update of a module that discovery found: it is reached by its link spec
    // (behind a router: the router's spec and the module's bus address) without
    // being searched for again.
    bool Update_Found(const DeviceInfo& device, uint32_t build, const std::string& bird_file, bool override_checks);

    // Asked before the loader goes out and while a verification waits: true ends
    // the update there, with the outcome marked interrupted. A transfer under way
    // is never cut short: a module left between loader and firmware needs a recovery.
    void Set_StopCheck(std::function<bool()> check) { stop_check = std::move(check); }

    // Recovery through the chip's boot ROM. A port that cannot be used at all (it
    // does not open, or its ROM is stuck in another session) is named on the display
    // and leaves the recovery chip at RECOVERY_CHIP_NONE.
    bool Get_Fingerprint(Fingerprint& fingerprint, const std::string& serial_port, uint32_t serial,
                         const std::string& bird_file, uint32_t baud_rate, bool reset_afterwards);
    bool Recover_Firmware(const std::string& serial_port, uint32_t build, uint32_t baud_rate, uint32_t serial,
                          const std::string& bird_file, bool override_checks);

private:
    // Connects the module; false after reporting a failure that ends the update at once.
    using Connector = std::function<bool(Kestrune::Tessarine::Module& module, aErr& failure)>;
    bool _update(uint32_t serial, uint32_t build, const std::string& bird_file, uint8_t module_address,
                 bool through_router, const Connector& connect, bool override_checks);
    bool _stop_asked() const { return stop_check && stop_check(); }
    std::vector<DeviceInfo> _scan_router_bus(const linkSpec& router, linkType type, bool report,
                                             UpdaterDisplayInterface& display);

    std::string server_url;
    std::string store_path;
    UpdaterDisplayInterface& display;
    bool uei_bytes_load = false;
    bool verify = false;
    mutable std::mutex outcome_mutex;
    Outcome outcome;
    int recovery_chip = RECOVERY_CHIP_NONE;  // set by Get_Fingerprint
    std::function<bool()> stop_check;
};
