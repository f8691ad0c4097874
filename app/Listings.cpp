#include "app/Listings.h"

#include <cstdio>

#include "app/PrintableText.h"
#include "app/aDefs.h"
#include "server/UpdateServerRequest.h"

namespace {

constexpr auto INFO = UpdaterDisplayInterface::LEVEL_INFO;

// The address is kept in network byte order: its bytes in memory order are the dotted quad.
std::string _ip_text(const linkSpec& spec)
{
    const auto* octet = reinterpret_cast<const uint8_t*>(&spec.ipAddress);
    char ip[24];
    snprintf(ip, sizeof ip, "[%d.%d.%d.%d]", octet[0], octet[1], octet[2], octet[3]);
    return ip;
}

// "2.15.1 (1001)", or "-" when there is no build.
std::string _available_cell(const AvailableBuild& available)
{
    if (available.source == BuildSource::None)
        return "-";
    const std::string build = "(" + std::to_string(available.build) + ")";
    return available.version.empty() ? build : _terminal_text(available.version) + " " + build;
}

void _display_device(UpdaterDisplayInterface& display, const DeviceInfo& device)
{
    const linkSpec& spec = device.spec;
    const char* model = aDefs_GetModelName(spec.model);
    // A module that could not be queried shows the error line whatever its
    // transport: its address line would show an empty version as if all went well.
    if (device.error != aErrNone) {
        display.message(INFO, "    %08X  [Error (%d): Is someone else connected to this device?]", spec.serialNumber,
                        static_cast<int>(device.error));
    } else if (spec.type == TCPIP) {
        display.message(INFO, "    %08X  %02X       %02X      %-12s %3d.%d.%u (%10u)        %-17s  %s",
                        spec.serialNumber, spec.module, spec.router, model, device.version_major, device.version_minor,
                        device.version_patch, device.build_number, _ip_text(spec).c_str(),
                        _terminal_text(device.device_name).c_str());
    } else {
        display.message(INFO, "    %08X  %02X       %02X      %-12s %3d.%d.%u (%10u)         %s", spec.serialNumber,
                        spec.module, spec.router, model, device.version_major, device.version_minor,
                        device.version_patch, device.build_number, _terminal_text(device.device_name).c_str());
    }
}

// The same line with the newest available build, its source and whether the module is
// behind, between the firmware and the address; names are shown with control bytes escaped.
void _display_device_updates(UpdaterDisplayInterface& display, const DeviceInfo& device,
                             const AvailableBuild& available)
{
    const linkSpec& spec = device.spec;
    if (device.error != aErrNone) {
        _display_device(display, device);
        return;
    }
    const char* source = BuildSource_Name(available.source);
    char ip[32] = "";
    if (spec.type == TCPIP)
        snprintf(ip, sizeof ip, "%-17s  ", _ip_text(spec).c_str());
    display.message(INFO, "    %08X  %02X       %02X      %-12s %3d.%d.%u (%10u)       %-22s %-7s %-6s  %s%s",
                    spec.serialNumber, spec.module, spec.router, aDefs_GetModelName(spec.model), device.version_major,
                    device.version_minor, device.version_patch, device.build_number, _available_cell(available).c_str(),
                    source ? source : "-", _is_behind(device.build_number, available) ? "yes" : "no", ip,
                    _terminal_text(device.device_name).c_str());
}

}  // namespace

const char* _link_type_name(linkType type)
{
    switch (type) {
    case USB:
        return "USB";
    case TCPIP:
        return "TCPIP";
    case PLEXUS:
        return "PLEXUS";
    case PLEXUS_USB:
        return "PLEXUS_USB";
    case PLEXUS_TCPIP:
        return "PLEXUS_TCPIP";
    case PLEXUS_SERIAL:
        return "PLEXUS_SERIAL";
    default:
        return "Unknown";
    }
}

void _display_device_list(UpdaterDisplayInterface& display, const std::vector<DeviceInfo>& devices, linkType type,
                          const std::vector<AvailableBuild>* available)
{
    display.message(INFO, "Discovered Devices: (%s)", _link_type_name(type));
    if (devices.empty()) {
        display.message(INFO, "    No devices found.");
        return;
    }
    const char* updates = available ? " Available (Build)      Source  Behind " : "";
    if (type == USB)
        display.message(INFO, "    Device    Module   Router  Model          Firmware Version (Build)   %s Device Name",
                        updates);
    else
        display.message(INFO,
                        "    Device    Module   Router  Model          Firmware Version (Build)   %s"
                        "[IP address]       Device Name",
                        available ? " Available (Build)      Source  Behind  " : "");
    for (size_t i = 0; i < devices.size(); ++i) {
        if (available && i < available->size())
            _display_device_updates(display, devices[i], (*available)[i]);
        else
            _display_device(display, devices[i]);
    }
}

void _display_build_rows(UpdaterDisplayInterface& display, const std::vector<std::pair<std::string, std::string>>& rows,
                         uint32_t serial)
{
    if (rows.empty()) {
        display.message(INFO, "No builds found for device [%08X]", serial);
        return;
    }
    display.message(INFO, "Build List for device [%08X]:\n", serial);
    display.message(INFO, "%-15.15s\t%-15.15s", "Build", "Version");
    for (const auto& [build, version] : rows)
        display.message(INFO, "%-15.15s\t%-15.15s", _terminal_text(build).c_str(), _terminal_text(version).c_str());
}

void _display_builds(UpdaterDisplayInterface& display, const BuildMap& builds, uint32_t serial)
{
    _display_build_rows(display, UpdateServerRequest::SortBuildsByVersion(builds), serial);
}

void _display_fingerprint(UpdaterDisplayInterface& display, const Fingerprint& fingerprint)
{
    display.message(INFO, "[ %08X %08X %08X %08X ]", fingerprint.words[0], fingerprint.words[1], fingerprint.words[2],
                    fingerprint.words[3]);
}

void _display_jwt(UpdaterDisplayInterface& display, const std::string& token)
{
    display.message(INFO, "%s", token.c_str());
}
