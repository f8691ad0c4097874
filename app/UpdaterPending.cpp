// Updater operations that are not built yet. Each one says so through the
// display and fails. This file shrinks as the operations arrive in
// UpdaterBuilds.cpp, UpdaterDiscovery.cpp, UpdaterUpdate.cpp and
// UpdaterRecovery.cpp, and goes away with the last of them.
//
// Operations whose failure value cannot be told from an empty result (lists,
// token) end the run with exit status 1 after the message, so that no command
// pretends to have succeeded.
#include <cstdlib>

#include "app/Updater.h"

namespace {

void _not_available(UpdaterDisplayInterface& display, const char* operation)
{
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "%s is not available yet", operation);
}

[[noreturn]] void _not_available_end_run(UpdaterDisplayInterface& display, const char* operation)
{
    _not_available(display, operation);
    std::exit(1);
}

}  // namespace

std::vector<DeviceInfo> Updater::Discover_Devices(linkType type)
{
    _not_available_end_run(display, "Discover_Devices");
}

std::vector<DeviceInfo> Updater::Discover_TSNetwork_Devices(uint32_t router_serial, linkType type)
{
    _not_available_end_run(display, "Discover_TSNetwork_Devices");
}

bool Updater::Update_Firmware(uint32_t serial, uint32_t build, const std::string& bird_file, uint8_t module_address,
                              uint32_t router_serial, bool override_checks)
{
    _not_available(display, "Update_Firmware");
    return false;
}

bool Updater::Get_Fingerprint(Fingerprint& fingerprint, const std::string& serial_port, uint32_t serial,
                              const std::string& bird_file, uint32_t baud_rate, bool reset_afterwards)
{
    _not_available(display, "Get_Fingerprint");
    return false;
}

bool Updater::Recover_Firmware(const std::string& serial_port, uint32_t build, uint32_t baud_rate, uint32_t serial,
                               const std::string& bird_file, bool override_checks)
{
    _not_available(display, "Recover_Firmware");
    return false;
}
