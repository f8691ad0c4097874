#pragma once
// An i.MX boot ROM's USB HID device (1FC9:0130) on the USB emulation: every
// report the host writes goes to a simulated SDP ROM, whose answers come back
// as input reports 3 and 4. hidapi (over libusb) opens it like the real one.
//
//   usbemu::UsbEmulation emulation;
//   usbemu::EmulatedHidRom rom(emulation);
//   rom.rom().SetJumpHook(...);   // runs on the emulation's thread: post() plug-ins
#include <memory>

#include "sim/SdpRom.h"
#include "sim/usb/UsbEmulation.h"

namespace usbemu {

// What the ROM's HID function looks like on the bus.
UsbDeviceConfig sdpRomConfig();

class EmulatedHidRom {
public:
    explicit EmulatedHidRom(UsbEmulation& emulation, Sim::SdpRomConfig config = {});
    EmulatedHidRom(const EmulatedHidRom&) = delete;
    EmulatedHidRom& operator=(const EmulatedHidRom&) = delete;

    Sim::SdpRom& rom() { return *rom_; }
    EmulatedUsbDevice& device() { return device_; }

private:
    std::shared_ptr<Sim::SdpRom> rom_;
    EmulatedUsbDevice& device_;
};

}  // namespace usbemu
