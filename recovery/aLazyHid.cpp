// hidapi (libusb backend), opened on the first HID call (unix/aLazyLibrary.h): the
// functions the project calls. They live beside their only user, the SDP loader's HID
// transport, so that a program building that transport against another hidapi backend
// without this library (tests/hidraw) keeps that backend's definitions.
#include <hidapi.h>

#include "unix/aLazyLibrary.h"

namespace {
aLazyLibrary hid{HIDAPI_SONAME};
}

int hid_init(void)
{
    return aLAZY(hid, hid_init)();
}

int hid_exit(void)
{
    return aLAZY(hid, hid_exit)();
}

hid_device* hid_open(unsigned short vendor_id, unsigned short product_id, const wchar_t* serial_number)
{
    return aLAZY(hid, hid_open)(vendor_id, product_id, serial_number);
}

int hid_write(hid_device* dev, const unsigned char* data, size_t length)
{
    return aLAZY(hid, hid_write)(dev, data, length);
}

int hid_read_timeout(hid_device* dev, unsigned char* data, size_t length, int milliseconds)
{
    return aLAZY(hid, hid_read_timeout)(dev, data, length, milliseconds);
}

void hid_close(hid_device* dev)
{
    aLAZY(hid, hid_close)(dev);
}
