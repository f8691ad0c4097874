#pragma once
// A USB HID function as the kernel's hidraw driver presents it: the node
// /dev/hidrawN and its usb_device -> usb_interface -> hid -> hidraw records,
// for hidapi's hidraw backend. A write is one report for the receiver; a read
// takes one queued report. The node is a FIFO that polls readable while
// reports wait, so that hidapi's timed reads sleep in poll.
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "sim/usb/DeviceSide.h"
#include "sim/usb/UsbDescriptors.h"

namespace usbemu {

class UsbEmulation;

class EmulatedHidraw {
public:
    using Receiver = std::function<void(const uint8_t* data, size_t length)>;
    ~EmulatedHidraw();
    EmulatedHidraw(const EmulatedHidraw&) = delete;
    EmulatedHidraw& operator=(const EmulatedHidraw&) = delete;

    // Gets every report the host writes, on the emulation's thread.
    void setReceiver(Receiver receiver);
    // Queues one input report (its id first); any thread.
    void sendReport(const std::vector<uint8_t>& report);
    std::string node() const { return node_; }
    std::vector<size_t> writes() const;  // lengths of the reports written

private:
    friend class UsbEmulation;
    struct Pending;
    EmulatedHidraw(UsbEmulation& emulation, const UsbDeviceConfig& config, unsigned index);
    void detach();
    static int _handleIoctl(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, void* self);
    static int _handleRead(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, void* self);
    static int _handleWrite(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, void* self);
    void answer(UMockdevIoctlClient* client, UMockdevIoctlData* buffer);
    void ring();

    UsbEmulation& emulation_;
    const UsbDeviceConfig config_;
    std::string node_;
    int doorbell_ = -1;
    UMockdevIoctlBase* handler_ = nullptr;
    mutable std::mutex mutex_;
    Receiver receiver_;
    std::deque<std::vector<uint8_t>> reports_;
    std::deque<Pending*> reads_;
    std::vector<size_t> writes_;
};

}  // namespace usbemu
