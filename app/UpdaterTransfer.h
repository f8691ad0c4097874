#pragma once
// The firmware transfer into a module's running loader, shared by the update
// and the i.MX recovery (whose recovery loader takes the firmware the same way).
#include "common/device/Module.h"
#include "app/UpdaterDisplayInterface.h"
#include "firmware/BirdFile.h"
#include "unix/aError.h"

// Sends every firmware block of the image (up to five attempts each), then
// lets the module reboot into it. Behind a router the wait for the reboot ends
// after its first pause.
aErr _transfer_firmware(UpdaterDisplayInterface& display, Kestrune::Tessarine::Module& module, BirdFile& bird,
                        bool throughRouter, bool useUEIBytes);

// A quick look for a module whose link dropped: on TCP/IP the address it had
// (a restarting module comes back there; a closed port refuses at once), on
// USB the bus. True when it is connected again.
bool _look_again(Kestrune::Tessarine::Module& module, linkType type, uint32_t serial);
