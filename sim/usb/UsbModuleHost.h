#pragma once
// A virtual module on the emulated USB bus: the host's bytes become packets for
// the module model, its answers go back to the host, and when the module drops
// its link or restarts (after LOAD and REBOOT) the device is unplugged and
// plugged back in once the module is online again, as a real module
// re-enumerates. A module whose kernel driver is bound (KernelNode) is on the
// bus with its descriptors, its interface held by the driver, and carries its
// bytes through the driver's node /dev/tessarine.SERIAL.
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "sim/ModuleConnection.h"
#include "sim/VirtualModule.h"
#include "sim/usb/UsbEmulation.h"

namespace usbemu {

class UsbModuleHost {
public:
    enum class Access { Libusb, LibusbHighSpeed, KernelNode };

    UsbModuleHost(UsbEmulation& emulation, std::shared_ptr<Sim::VirtualModule> module, Access access = Access::Libusb);
    ~UsbModuleHost();
    UsbModuleHost(const UsbModuleHost&) = delete;
    UsbModuleHost& operator=(const UsbModuleHost&) = delete;

    DeviceSide& side() { return side_; }
    // The USB device on the bus (for KernelNode access it carries no bytes).
    EmulatedUsbDevice& device() { return *device_; }
    Sim::VirtualModule& module() { return *module_; }
    // "40F5849A <- 02 03 03 49 20" per packet from the host, "->" to it.
    void setTrace(std::function<void(const std::string&)> trace) { link_.SetTrace(std::move(trace)); }
    // Times the device was plugged back in after a drop or restart.
    unsigned replugs() const;

    // Delay between a module's last reply and the unplug of a drop or restart,
    // so that the reply can reach the host first.
    static constexpr unsigned UNPLUG_DELAY_MS = 20;

private:
    void hostBytes(const uint8_t* data, size_t length);
    void hostChanged(bool connected);
    void react(const Sim::ModuleByteLink::Output& output);
    void run();
    // Runs a plug action on the emulation's thread; the host outlives it.
    void later(unsigned delayMs, std::function<void()> action);
    // The device leaves the bus (and its node goes) or comes back (node first).
    void unplug();
    void replug();

    UsbEmulation& emulation_;
    std::shared_ptr<Sim::VirtualModule> module_;
    EmulatedUsbDevice* device_ = nullptr;
    DeviceSide& side_;
    std::mutex linkMutex_;  // the byte link is used from one thread at a time
    Sim::ModuleByteLink link_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool away_ = false;  // unplugged by a drop or restart, not yet back
    bool stopping_ = false;
    unsigned replugs_ = 0;
    unsigned posted_ = 0;
    std::thread thread_;
};

}  // namespace usbemu
