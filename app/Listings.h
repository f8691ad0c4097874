#pragma once
// The listings the commands print: discovered devices, builds, a chip
// fingerprint and a device token. All are info messages of the display.
#include <string>
#include <utility>
#include <vector>

#include "app/AvailableBuilds.h"
#include "app/Updater.h"

// "USB", "TCPIP" or "Unknown", as listings name a transport.
const char* _link_type_name(linkType type);

// With available ("-D --updates", one entry per device) the table gains the newest
// build available with its source, and whether the module is behind it.
void _display_device_list(UpdaterDisplayInterface& display, const std::vector<DeviceInfo>& devices, linkType type,
                          const std::vector<AvailableBuild>* available = nullptr);

// The builds newest version first.
void _display_builds(UpdaterDisplayInterface& display, const BuildMap& builds, uint32_t serial);
// The builds in the order given.
void _display_build_rows(UpdaterDisplayInterface& display, const std::vector<std::pair<std::string, std::string>>& rows,
                         uint32_t serial);

void _display_fingerprint(UpdaterDisplayInterface& display, const Fingerprint& fingerprint);
void _display_jwt(UpdaterDisplayInterface& display, const std::string& token);
