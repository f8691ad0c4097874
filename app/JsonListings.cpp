#include "app/JsonListings.h"

#include <cstdio>

#include <nlohmann/json.hpp>

#include "app/Listings.h"
#include "app/aDefs.h"
#include "server/UpdateServerRequest.h"

namespace {

using json = nlohmann::ordered_json;

std::string _hex_serial(uint32_t serial)
{
    char text[16];
    snprintf(text, sizeof text, "%08X", serial);
    return text;
}

// The address is kept in network byte order: its bytes in memory order are the dotted quad.
json _ip_address(const linkSpec& spec)
{
    if (spec.type != TCPIP)
        return nullptr;
    const auto* octet = reinterpret_cast<const uint8_t*>(&spec.ipAddress);
    char text[20];
    snprintf(text, sizeof text, "%u.%u.%u.%u", octet[0], octet[1], octet[2], octet[3]);
    return text;
}

json _device(const DeviceInfo& device)
{
    const linkSpec& spec = device.spec;
    json entry = {
        {"serial", _hex_serial(spec.serialNumber)},
        {"transport", _link_type_name(spec.type)},
        {"module", spec.module},
        {"router", spec.router},
        {"model", aDefs_GetModelName(spec.model)},
        {"model_number", spec.model},
        {"ip", _ip_address(spec)},
        {"error", static_cast<uint32_t>(device.error)},
    };
    // A module that could not be queried has no version, build or name: null
    // rather than zeros that look like an answer.
    if (device.error != aErrNone) {
        entry["version"] = nullptr;
        entry["build"] = nullptr;
        entry["name"] = nullptr;
    } else {
        entry["version"] = std::to_string(device.version_major) + "." + std::to_string(device.version_minor) + "." +
                           std::to_string(device.version_patch);
        entry["build"] = device.build_number;
        entry["name"] = device.device_name;
    }
    return entry;
}

void _add_available(json& entry, const DeviceInfo& device, const AvailableBuild& available)
{
    const char* source = BuildSource_Name(available.source);
    entry["available_build"] = source ? json(available.build) : json(nullptr);
    entry["available_source"] = source ? json(source) : json(nullptr);
    entry["behind"] = device.error != aErrNone ? json(nullptr) : json(_is_behind(device.build_number, available));
}

// Device names and version texts are whatever a module or a server sent: the
// library's default would throw on bytes that are not UTF-8.
std::string _dump(const json& document)
{
    return document.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

}  // namespace

std::string _device_list_json(const std::vector<DeviceInfo>& devices, linkType type,
                              const std::vector<AvailableBuild>* available)
{
    json list = json::array();
    for (size_t i = 0; i < devices.size(); ++i) {
        list.push_back(_device(devices[i]));
        if (available && i < available->size())
            _add_available(list.back(), devices[i], (*available)[i]);
    }
    return _dump({{"transport", _link_type_name(type)}, {"devices", list}});
}

std::string _build_list_json(const BuildMap& builds, uint32_t serial, const std::string& failure)
{
    json list = json::array();
    for (const auto& [build, version] : UpdateServerRequest::SortBuildsByVersion(builds))
        list.push_back({{"build", build}, {"version", version}});
    return _dump({{"serial", _hex_serial(serial)},
                  {"builds", list},
                  {"error", failure.empty() ? json(nullptr) : json(failure)}});
}
