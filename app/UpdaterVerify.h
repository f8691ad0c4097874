#pragma once
// "--verify": after the reboot that ends an update, wait for the module to come
// back and compare the firmware it runs (version and build, read as discovery
// reads them) with the image's information block.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "app/Updater.h"
#include "common/device/Module.h"
#include "firmware/BirdFile.h"

// True when two version texts name one version: dotted fields compared as
// numbers where both are decimal ("2.16.01" is "2.16.1"), as text otherwise.
bool _same_version(const std::string& a, const std::string& b);

// The version and build the image's information block names; none without one.
std::optional<FirmwareId> _image_firmware(const BirdFile& bird);

// The version and build the module runs; false unless it answered both.
bool _read_firmware(Kestrune::Tessarine::Module& module, FirmwareId& running);

// How the module that rebooted is reached again.
enum class VerifyRoute {
    Direct,  // its link dropped at the reboot: find it again on `type` by serial number
    Held,    // behind a router or a module server, whose link stays: ask it through that link
};

// Waits up to UPDATER_VERIFY_TIMEOUT seconds (60 by default) and prints
// "Verified: ..." or reports "Update not confirmed: ...". True when verified.
// A stop (when given and true) ends the wait unconfirmed.
bool _verify_update(UpdaterDisplayInterface& display, Kestrune::Tessarine::Module& module, VerifyRoute route,
                    linkType type, uint32_t serial, const std::optional<FirmwareId>& expected,
                    const std::function<bool()>& stop = {});
