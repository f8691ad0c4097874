// USB enumeration of modules: every module on USB (vendor 0x24FF, product id
// below 0x8000, an eight-digit serial-number string) becomes a USB spec.
#include "common/discovery/aDiscovery.h"
#include "unix/tsusb.h"

namespace {

struct UsbEnumeration {
    aDiscoveryCallback callback;
    void* ref;
    unsigned count;
};

bool _found_on_usb(uint32_t serialNumber, uint16_t productId, void* ref)
{
    auto* enumeration = static_cast<UsbEnumeration*>(ref);
    linkSpec spec{};
    spec.type = USB;
    spec.serialNumber = serialNumber;
    spec.model = productId & 0xFF;
    spec.usbId = serialNumber;
    bool found = false;
    bool goOn = enumeration->callback(&spec, &found, enumeration->ref);
    if (found && enumeration->count < 255)
        ++enumeration->count;
    return goOn;
}

}  // namespace

uint8_t aDiscovery_EnumerateUSB(aDiscoveryCallback callback, void* ref)
{
    if (!callback)
        return 0;
    UsbEnumeration enumeration{callback, ref, 0};
    tsusb_enumerate_modules(_found_on_usb, &enumeration);
    return static_cast<uint8_t>(enumeration.count);
}
