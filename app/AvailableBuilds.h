#pragma once
// The newest firmware build there is for a module: the newest image in the local
// store for its serial number and, when an update server was given, the newest build
// the server lists for it; whichever has the higher build number, with where it is.
// "-D --updates" shows it per module, and "-U --all" plans with it.
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/Updater.h"

enum class BuildSource { None, Store, Server };

// "store" or "server"; null for none.
const char* BuildSource_Name(BuildSource source);

struct AvailableBuild {
    uint32_t build = 0;   // 0: no build known
    std::string version;  // the image's or the server's version text; may be empty
    BuildSource source = BuildSource::None;
};

// A module running running_build is behind when a higher build is available.
bool _is_behind(uint32_t running_build, const AvailableBuild& available);

// The newest of the two by build number; on a tie the store's, which needs no download.
AvailableBuild _newer_build(const AvailableBuild& stored, const AvailableBuild& offered);

// The listed build with the highest number (keys that are no decimal number are passed over).
AvailableBuild _newest_listed(const BuildMap& builds, BuildSource source);

// The stored image "<build>.bird" with the highest build number that loads, with the
// version of its information block. Other files of the device's directory are passed over.
AvailableBuild _newest_stored(const std::string& store_path, uint32_t serial);

class AvailableBuilds {
public:
    // An empty server_url asks the store alone.
    AvailableBuilds(UpdaterDisplayInterface& display, std::string store_path, std::string server_url);

    // Finds the newest build of every serial not yet known, the server's answers a few
    // at a time over shared connections after one ping. Safe to call from any thread.
    void Lookup(const std::vector<uint32_t>& serials);

    // The newest build for one serial (looked up when not yet known).
    AvailableBuild Newest(uint32_t serial);

    // True once the given server did not answer its ping ("Server request failed for
    // %s" was reported); the builds then come from the store alone.
    bool ServerFailed() const;

private:
    bool _server_usable();
    BuildMap _server_builds(uint32_t serial);

    UpdaterDisplayInterface& display_;
    const std::string store_path_;
    const std::string server_url_;
    mutable std::mutex mutex_;  // guards known_ and server_answered_
    std::map<uint32_t, AvailableBuild> known_;
    std::optional<bool> server_answered_;  // unset until the first ping
};
