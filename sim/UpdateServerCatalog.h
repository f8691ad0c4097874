#pragma once
// What the update server offers, read from a firmware directory:
//   <dir>/<SN>/<build>.bird   one folder per device serial number ("%08X"); the version
//                             of each build comes from its image's information block
//   <dir>/server.conf         optional (or given elsewhere); lines of
//       firmware <SN> <text>                  the text quoted back as fw= (default "std")
//       latest   <SN> <build>                 the latest build (default: the highest listed)
//       hide     <SN> <build>                 served on request but left out of the list
//       token    <SN> <header.payload.sig>    the device token
//       recover  <W0> <W1> <W2> <W3> <SN> <build>   a chip fingerprint's device and build
//   "#" starts a comment. The directory is read on every question, so a running server
//   sees builds added or removed.
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace Sim {

struct ServedBuild {
    std::string path;
};

struct RecoveryAnswer {
    uint32_t serial = 0;
    uint32_t build = 0;
};

class UpdateServerCatalog {
public:
    // An empty config path means <firmware_dir>/server.conf when it exists.
    UpdateServerCatalog(std::string firmware_dir, std::string config_path);

    // Re-reads the configuration file; false (with error) for a line it does not understand.
    bool LoadConfig(std::string& error);

    bool KnowsDevice(uint32_t serial) const;
    // Every stored build, and the ones the build list shows (all but the hidden).
    std::map<uint32_t, ServedBuild> Builds(uint32_t serial) const;
    std::map<uint32_t, ServedBuild> Listed(uint32_t serial) const;
    std::optional<uint32_t> Latest(uint32_t serial) const;
    // The version text of an image's information block; "" when it has none or does not
    // load. Remembered until the file changes.
    std::string Version(const std::string& path) const;
    std::string Firmware(uint32_t serial) const;
    std::optional<std::string> Token(uint32_t serial) const;
    std::optional<RecoveryAnswer> Recover(const uint32_t fingerprint[4]) const;

    std::string DeviceDirectory(uint32_t serial) const;

private:
    std::string firmware_dir_;
    std::string config_path_;
    std::map<uint32_t, std::string> firmware_;
    std::map<uint32_t, uint32_t> latest_;
    std::map<uint32_t, std::string> tokens_;
    std::multimap<uint32_t, uint32_t> hidden_;
    std::vector<std::pair<std::vector<uint32_t>, RecoveryAnswer>> recovery_;

    struct KnownVersion {
        std::filesystem::file_time_type written;
        uintmax_t size = 0;
        std::string version;
    };
    mutable std::mutex versions_mutex_;
    mutable std::map<std::string, KnownVersion> versions_;
};

// Strict readers for the protocol's numbers: the whole text must be digits.
bool ParseHex32(const std::string& text, uint32_t& value);
bool ParseDecimal32(const std::string& text, uint32_t& value);

}  // namespace Sim
