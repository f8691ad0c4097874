#pragma once
// "--verify": after the reboot that ends an update, wait for the module to come
// back and compare the firmware it runs (version and build, read as discovery
// reads them) with the image's information block.
#include <cstdint>
#include <optional>

#include "app/Updater.h"
#include "common/device/Module.h"
#include "firmware/BirdFile.h"

// The version and build the image's information block names; none without one.
std::optional<FirmwareId> _image_firmware(const BirdFile& bird);

// The version and build the module runs; false unless it answered both.
bool _read_firmware(Kestrune::Tessarine::Module& module, FirmwareId& running);

// How the module that rebooted is reached again.
enum class VerifyRoute {
    Direct,  // its link dropped at the reboot: find it again on `type` by serial number
    Router,  // behind a router whose link stays: ask it through that link
};

// Waits up to UPDATER_VERIFY_TIMEOUT seconds (60 by default) and prints
// "Verified: ..." or reports "Update not confirmed: ...". Sets outcome.verified.
bool _verify_update(UpdaterDisplayInterface& display, Kestrune::Tessarine::Module& module, VerifyRoute route,
                    linkType type, uint32_t serial, const std::optional<FirmwareId>& expected, Outcome& outcome);
