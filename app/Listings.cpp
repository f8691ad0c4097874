#include "app/Listings.h"

#include "app/aDefs.h"
#include "server/UpdateServerRequest.h"

namespace {

constexpr auto INFO = UpdaterDisplayInterface::LEVEL_INFO;

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
        // The address is kept in network byte order: its bytes in memory order
        // are the dotted quad.
        const auto* octet = reinterpret_cast<const uint8_t*>(&spec.ipAddress);
        char ip[24];
        snprintf(ip, sizeof ip, "[%d.%d.%d.%d]", octet[0], octet[1], octet[2], octet[3]);
        display.message(INFO, "    %08X  %02X       %02X      %-12s %3d.%d.%u (%10u)        %-17s  %s",
                        spec.serialNumber, spec.module, spec.router, model, device.version_major, device.version_minor,
                        device.version_patch, device.build_number, ip, device.device_name.c_str());
    } else {
        display.message(INFO, "    %08X  %02X       %02X      %-12s %3d.%d.%u (%10u)         %s", spec.serialNumber,
                        spec.module, spec.router, model, device.version_major, device.version_minor,
                        device.version_patch, device.build_number, device.device_name.c_str());
    }
}

}  // namespace

const char* _link_type_name(linkType type)
{
    switch (type) {
    case USB:
        return "USB";
    case TCPIP:
        return "TCPIP";
    default:
        return "Unknown";
    }
}

void _display_device_list(UpdaterDisplayInterface& display, const std::vector<DeviceInfo>& devices, linkType type)
{
    display.message(INFO, "Discovered Devices: (%s)", _link_type_name(type));
    if (devices.empty()) {
        display.message(INFO, "    No devices found.");
        return;
    }
    if (type == USB)
        display.message(INFO, "    Device    Module   Router  Model          Firmware Version (Build)    Device Name");
    else
        display.message(INFO,
                        "    Device    Module   Router  Model          Firmware Version (Build)   "
                        "[IP address]       Device Name");
    for (const DeviceInfo& device : devices)
        _display_device(display, device);
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
        display.message(INFO, "%-15.15s\t%-15.15s", build.c_str(), version.c_str());
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
