// The USB byte stream: gets, puts and block writes go to one module through
// the USB layer; delete closes and releases the device.
#include <cstdio>
#include <new>

#include "common/aStream.h"
#include "common/aStreamUSB.h"

namespace {

USBStreamData* _record(void* ref)
{
    auto* usb = static_cast<USBStreamData*>(ref);
    return usb && usb->check == aUSBSTREAM_CHECK && usb->device ? usb : nullptr;
}

aErr _usb_get(uint8_t* byte, void* ref)
{
    USBStreamData* usb = _record(ref);
    return usb ? tsusb_get_from_device(usb->device, byte) : aErrParam;
}

aErr _usb_put(const uint8_t* byte, void* ref)
{
    USBStreamData* usb = _record(ref);
    return usb ? tsusb_write_to_device(usb->device, byte, 1) : aErrParam;
}

aErr _usb_write(const uint8_t* bytes, size_t length, void* ref)
{
    USBStreamData* usb = _record(ref);
    if (!usb)
        return aErrParam;
    if (length > UINT32_MAX)
        return aErrSize;
    return tsusb_write_to_device(usb->device, bytes, static_cast<uint32_t>(length));
}

aErr _usb_wait(void* ref, uint32_t timeoutMs)
{
    USBStreamData* usb = _record(ref);
    return usb ? tsusb_wait_for_data(usb->device, timeoutMs) : aErrParam;
}

aErr _usb_delete(void* ref)
{
    USBStreamData* usb = _record(ref);
    if (!usb)
        return aErrParam;
    aErr closed = tsusb_close_tessarine_device(usb->device);
    tsusb_destroy(&usb->device);
    usb->check = 0;
    delete usb;
    return closed;
}

}  // namespace

aErr aStream_CreateUSB(uint32_t serialNumber, aStreamRef* stream)
{
    if (!stream)
        return aErrParam;
    *stream = nullptr;
    if (serialNumber == 0)
        return aErrParam;
    bool useLibusb = !tsusb_is_kernel_driver_installed(serialNumber);
    USBDevice* device = tsusb_create_usb(useLibusb);
    if (!device)
        return aErrResource;
    auto* usb = new (std::nothrow) USBStreamData{serialNumber, device, aUSBSTREAM_CHECK};
    if (!usb) {
        tsusb_destroy(&device);
        return aErrMemory;
    }
    char serial[16];
    snprintf(serial, sizeof serial, "%08X", serialNumber);
    aErr opened = tsusb_open_tessarine_device(device, serial);
    if (opened != aErrNone) {
        tsusb_destroy(&usb->device);
        delete usb;
        return opened;
    }
    *stream = aStream_CreateWaiting(_usb_get, _usb_put, _usb_write, _usb_delete, _usb_wait, usb);
    return *stream ? aErrNone : aErrMemory;
}
