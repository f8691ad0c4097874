// Links to modules on USB: the stream opens the module by serial number, and a
// new link is synchronised before it is handed out.
#include "common/aLink.h"
#include "common/aLinkRecord.h"

uint32_t aLink_CreateUSB(uint32_t serialNumber)
{
    if (serialNumber == 0)
        return 0;
    return aLink_CreateDevice(serialNumber, LinkType::usb, 0, 0);
}
