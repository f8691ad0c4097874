#pragma once
// The emulated USB machine of usbrun and the tests: umockdev presents emulated
// devices to the real libusb (and kernel-driver nodes to plain open/read/write)
// of this process and of the children it starts. Every device forwards what the host sends to a
// receiver (a module model) and queues what the model answers for the host.
//
// The process that uses libusb must run with libumockdev-preload in LD_PRELOAD
// from its start: call usbemu::reexecUnderPreload() first thing (a static
// constructor in the test executables and usbrun's main do it) and give children the
// environment as it is.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/usb/EmulatedHidraw.h"
#include "sim/usb/EmulatedKernelNode.h"
#include "sim/usb/EmulatedUsbDevice.h"

namespace usbemu {

// Restarts the process with libumockdev-preload in LD_PRELOAD (after a
// sanitizer runtime, which must stay first) unless it is there already.
void reexecUnderPreload();
bool preloadActive();

// The emulated machine: one per process at a time. Its directory (a umockdev
// testbed) is removed at destruction; folders left by killed runs are removed
// at construction.
class UsbEmulation {
public:
    UsbEmulation();
    ~UsbEmulation();
    UsbEmulation(const UsbEmulation&) = delete;
    UsbEmulation& operator=(const UsbEmulation&) = delete;

    EmulatedUsbDevice& addDevice(const UsbDeviceConfig& config);
    EmulatedUsbDevice& addModule(uint32_t serialNumber, uint8_t model, bool highSpeed = false);
    EmulatedKernelNode& addKernelNode(uint32_t serialNumber);
    // A HID function as the hidraw driver shows it (/dev/hidraw0, 1, ...), for
    // hidapi's hidraw backend; `config` needs a hidReportDescriptor.
    EmulatedHidraw& addHidraw(const UsbDeviceConfig& config);

    std::string root() const { return root_; }
    // What a child process (the updater under test) needs in its environment
    // to see the emulated devices: the preload (after a sanitizer runtime) and
    // the emulation's directory.
    std::map<std::string, std::string> childEnvironment() const;
    // Runs `action` on the emulation's own thread after `delayMs`.
    void post(unsigned delayMs, std::function<void()> action);

private:
    friend class EmulatedUsbDevice;
    friend class EmulatedKernelNode;
    friend class EmulatedHidraw;
    void run();
    unsigned nextAddress() { return nextAddress_++; }

    UMockdevTestbed* testbed_ = nullptr;
    std::string root_;
    unsigned nextAddress_ = 2;
    std::vector<std::unique_ptr<EmulatedUsbDevice>> devices_;
    std::vector<std::unique_ptr<EmulatedKernelNode>> nodes_;
    std::vector<std::unique_ptr<EmulatedHidraw>> hidraws_;

    std::mutex timerMutex_;
    std::condition_variable timerWake_;
    std::multimap<std::chrono::steady_clock::time_point, std::function<void()>> timers_;
    bool stopping_ = false;
    std::thread timerThread_;
};

}  // namespace usbemu
