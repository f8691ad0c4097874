#pragma once
// An emulated kernel-driver node of a module.
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "sim/usb/DeviceSide.h"

namespace usbemu {

class UsbEmulation;

// A kernel-driver node "/dev/tessarine.%08X": reads take what the model
// queued (a read with nothing queued waits up to readWaitMs, then returns 0),
// writes go to the model.
class EmulatedKernelNode : public DeviceSide {
public:
    ~EmulatedKernelNode() override;
    void setReceiver(Receiver receiver) override;
    void sendToHost(const uint8_t* data, size_t length) override;
    using DeviceSide::sendToHost;

    void setHostListener(HostListener listener) override;
    // unplug removes the node: reads and writes of descriptors opened before
    // fail with ENODEV from then on; replug creates it again.
    void unplug() override;
    void replug() override;
    bool plugged() const override;

    std::string path() const { return path_; }
    std::vector<uint8_t> hostBytes() const;
    std::vector<size_t> writes() const;

private:
    friend class UsbEmulation;
    struct Pending;
    EmulatedKernelNode(UsbEmulation& emulation, uint32_t serialNumber, unsigned readWaitMs);
    static int _handleRead(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, void* self);
    static int _handleWrite(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, void* self);
    void answer(Pending& pending);
    // False (after answering ENODEV) for descriptors opened before an unplug;
    // notes a new host otherwise.
    bool admit(UMockdevIoctlClient* client, bool& newHost);
    void createNode();
    void detach();

    UsbEmulation& emulation_;
    std::string path_;
    unsigned readWaitMs_;
    UMockdevIoctlBase* handler_ = nullptr;
    mutable std::mutex mutex_;
    Receiver receiver_;
    std::deque<uint8_t> inQueue_;
    std::deque<std::shared_ptr<Pending>> reads_;
    HostListener hostListener_;
    bool gone_ = false;
    std::vector<UMockdevIoctlClient*> clients_;  // current connection's descriptors
    std::vector<UMockdevIoctlClient*> stale_;    // descriptors from before an unplug
    std::vector<uint8_t> hostBytes_;
    std::vector<size_t> writes_;
};

}  // namespace usbemu
