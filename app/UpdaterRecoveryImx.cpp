// The i.MX RT half of the recovery needs the Serial Download Protocol client,
// which is not built yet: until it is, the i.MX steps say so and fail.
#include "app/UpdaterRecovery.h"

namespace {

void _not_available(UpdaterDisplayInterface& display)
{
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "i.MX RT recovery is not available yet");
}

}  // namespace

bool _get_fingerprint_imx(UpdaterDisplayInterface& display, Updater&, const std::string&, uint32_t,
                          const std::string&, Fingerprint&, bool)
{
    _not_available(display);
    return false;
}

bool _recover_firmware_imx(UpdaterDisplayInterface& display, BirdFile&, uint32_t, bool)
{
    _not_available(display);
    return false;
}
