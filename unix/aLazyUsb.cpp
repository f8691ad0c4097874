// libusb, opened on the first USB call (aLazyLibrary.h): the functions the project calls.
#include <libusb.h>

#include "unix/aLazyLibrary.h"

namespace {
aLazyLibrary usb{LIBUSB_SONAME};
}

int libusb_init(libusb_context** ctx)
{
    return aLAZY(usb, libusb_init)(ctx);
}

void libusb_exit(libusb_context* ctx)
{
    aLAZY(usb, libusb_exit)(ctx);
}

ssize_t libusb_get_device_list(libusb_context* ctx, libusb_device*** list)
{
    return aLAZY(usb, libusb_get_device_list)(ctx, list);
}

void libusb_free_device_list(libusb_device** list, int unref_devices)
{
    aLAZY(usb, libusb_free_device_list)(list, unref_devices);
}

int libusb_get_device_descriptor(libusb_device* dev, struct libusb_device_descriptor* desc)
{
    return aLAZY(usb, libusb_get_device_descriptor)(dev, desc);
}

int libusb_get_config_descriptor(libusb_device* dev, uint8_t config_index, struct libusb_config_descriptor** config)
{
    return aLAZY(usb, libusb_get_config_descriptor)(dev, config_index, config);
}

void libusb_free_config_descriptor(struct libusb_config_descriptor* config)
{
    aLAZY(usb, libusb_free_config_descriptor)(config);
}

int libusb_get_max_packet_size(libusb_device* dev, unsigned char endpoint)
{
    return aLAZY(usb, libusb_get_max_packet_size)(dev, endpoint);
}

int libusb_open(libusb_device* dev, libusb_device_handle** dev_handle)
{
    return aLAZY(usb, libusb_open)(dev, dev_handle);
}

void libusb_close(libusb_device_handle* dev_handle)
{
    aLAZY(usb, libusb_close)(dev_handle);
}

libusb_device* libusb_get_device(libusb_device_handle* dev_handle)
{
    return aLAZY(usb, libusb_get_device)(dev_handle);
}

int libusb_claim_interface(libusb_device_handle* dev_handle, int interface_number)
{
    return aLAZY(usb, libusb_claim_interface)(dev_handle, interface_number);
}

int libusb_release_interface(libusb_device_handle* dev_handle, int interface_number)
{
    return aLAZY(usb, libusb_release_interface)(dev_handle, interface_number);
}

int libusb_clear_halt(libusb_device_handle* dev_handle, unsigned char endpoint)
{
    return aLAZY(usb, libusb_clear_halt)(dev_handle, endpoint);
}

int libusb_bulk_transfer(libusb_device_handle* dev_handle, unsigned char endpoint, unsigned char* data, int length,
                         int* actual_length, unsigned int timeout)
{
    return aLAZY(usb, libusb_bulk_transfer)(dev_handle, endpoint, data, length, actual_length, timeout);
}

int libusb_get_string_descriptor_ascii(libusb_device_handle* dev_handle, uint8_t desc_index, unsigned char* data,
                                       int length)
{
    return aLAZY(usb, libusb_get_string_descriptor_ascii)(dev_handle, desc_index, data, length);
}
