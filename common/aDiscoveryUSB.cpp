// USB enumeration of modules.
#include "common/aDiscovery.h"

// Awaiting the USB layer: USB device access (descriptors, the serial-number
// string and the shared libusb context) is not built yet, so no module can be
// found on USB. This is where the enumeration walks the device list and builds
// a USB spec per module; until then it finds nothing and never calls back.
uint8_t aDiscovery_EnumerateUSB(aDiscoveryCallback callback, void* ref)
{
    (void)callback;
    (void)ref;
    return 0;
}
