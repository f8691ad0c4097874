#pragma once
// The listings of "-D", "-B" and "-L" as one JSON document each, for scripts
// ("--json"). Texts that come from modules, the server or the store are escaped
// by the JSON library; bytes that are not UTF-8 become U+FFFD.
#include <string>
#include <vector>

#include "app/AvailableBuilds.h"
#include "app/Updater.h"

// {"transport": "USB", "devices": [{"serial": "40F5849A", "module": 6, ...}, ...]}
// With available ("-D --updates", one entry per device) each device also has
// "available_build", "available_source" (null when there is none) and "behind"
// (null when the module could not be queried).
std::string _device_list_json(const std::vector<DeviceInfo>& devices, linkType type,
                              const std::vector<AvailableBuild>* available = nullptr);

// {"serial": "40F5849A", "builds": [{"build": "116", "version": "2.10.3"}, ...],
// "error": null}, newest version first as in the listing. "error" holds why a
// request to the server failed; then "builds" is what arrived before (mostly none).
std::string _build_list_json(const BuildMap& builds, uint32_t serial, const std::string& failure = "");
