#pragma once
// The device side of an emulated USB function: what the host sends reaches a
// receiver (a module model), what the model answers is queued for the host.
#include <cstdint>
#include <functional>
#include <vector>

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;
typedef struct _UMockdevIoctlData UMockdevIoctlData;

namespace usbemu {

// The byte path of an emulated function, seen from the device side.
class DeviceSide {
public:
    using Receiver = std::function<void(const uint8_t* data, size_t length)>;
    virtual ~DeviceSide() = default;
    // Gets every block the host sends, on the emulation's thread: it must not
    // block, and must not plug or unplug devices itself (schedule that).
    virtual void setReceiver(Receiver receiver) = 0;
    // Queues bytes for the host; any thread.
    virtual void sendToHost(const uint8_t* data, size_t length) = 0;
    void sendToHost(const std::vector<uint8_t>& data) { sendToHost(data.data(), data.size()); }

    // Told when a host begins to use the function (claims the interface, or
    // first reaches the node) and when it lets go (release, close, unplug);
    // called without the device's lock held, possibly on the emulation's thread.
    using HostListener = std::function<void(bool connected)>;
    virtual void setHostListener(HostListener listener) = 0;

    // Disconnects the function: what the host had open fails from now on and
    // the queued bytes are lost. replug() connects it again (a new device for
    // the host). Neither may run on the emulation's thread: schedule them.
    virtual void unplug() = 0;
    virtual void replug() = 0;
    virtual bool plugged() const = 0;
};

}  // namespace usbemu
