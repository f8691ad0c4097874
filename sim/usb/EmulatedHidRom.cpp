#include "sim/usb/EmulatedHidRom.h"

namespace usbemu {

namespace {

// Vendor page; output reports 1 (command, 16 bytes) and 2 (data, 1024 bytes),
// input reports 3 (security state, 4 bytes) and 4 (response, 64 bytes).
const std::vector<uint8_t> kReportDescriptor = {
    0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01,                                                              //
    0x85, 0x01, 0x19, 0x01, 0x29, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x10, 0x91, 0x02,  //
    0x85, 0x02, 0x19, 0x01, 0x29, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x96, 0x00, 0x04, 0x91, 0x02,
    0x85, 0x03, 0x19, 0x01, 0x29, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x04, 0x81, 0x02,  //
    0x85, 0x04, 0x19, 0x01, 0x29, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x40, 0x81, 0x02,  //
    0xC0};

}  // namespace

UsbDeviceConfig sdpRomConfig()
{
    UsbDeviceConfig config;
    config.vendorId = 0x1FC9;
    config.productId = 0x0130;
    config.serial.reset();
    config.manufacturer = "NXP";
    config.product = "SE Blank RT Family";
    config.highSpeed = true;
    config.maxPacket = 1024;  // a 1025-byte data report goes in one transfer
    config.inAddress = 0x81;
    config.outAddress = 0x01;
    config.hidReportDescriptor = kReportDescriptor;
    return config;
}

EmulatedHidRom::EmulatedHidRom(UsbEmulation& emulation, Sim::SdpRomConfig config)
    : rom_(std::make_shared<Sim::SdpRom>(config)), device_(emulation.addDevice(sdpRomConfig()))
{
    std::shared_ptr<Sim::SdpRom> rom = rom_;
    EmulatedUsbDevice* device = &device_;
    device_.setReceiver([rom, device](const uint8_t* data, size_t length) {
        for (const std::vector<uint8_t>& report : rom->HidReport(data, length))
            device->sendToHost(report);
    });
}

}  // namespace usbemu
