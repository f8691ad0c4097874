// Updater operations that are not built yet. Each one says so through the
// display and fails. This file shrinks as the operations arrive in
// UpdaterBuilds.cpp, UpdaterDiscovery.cpp, UpdaterUpdate.cpp and
// UpdaterRecovery.cpp, and goes away with the last of them.
#include "app/Updater.h"

namespace {

void _not_available(UpdaterDisplayInterface& display, const char* operation)
{
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "%s is not available yet", operation);
}

}  // namespace

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
