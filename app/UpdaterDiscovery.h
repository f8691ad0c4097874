#pragma once
// Queries the updater makes on a module, shared by discovery and the update.
#include <cstdint>

#include "app/Updater.h"
#include "common/device/Module.h"

// Switches the module's networking feature off (no serving, no fallback, local
// only); reports "Failed to SET network configuration" on failure.
aErr _disablePlexus(Kestrune::Tessarine::Module& module, UpdaterDisplayInterface& display);
// The network settings for reaching a module by its spec: a served module is
// reached as a client of its server, which needs networking on (a client
// serves nothing); any other has it off, as _disablePlexus sets.
aErr _networking_for(Kestrune::Tessarine::Module& module, const linkSpec& spec, UpdaterDisplayInterface& display);

// The firmware build number from the module description query; 0 when it
// cannot be read.
uint32_t _get_build_number(Kestrune::Tessarine::Module& module);

// Firmware version, module address and router address into the record; the
// first failing read ends the sequence and is returned.
aErr _get_version(Kestrune::Tessarine::Module& module, DeviceInfo& info);

// The name stored in the module (firmware 2.10.4 and later; older firmware
// succeeds without a name).
aErr _get_device_name(Kestrune::Tessarine::Module& module, DeviceInfo& info);

// The link type (USB, then TCP/IP) on which the module is found; 0 when not found.
linkType _discover_link_type(uint32_t serial);
