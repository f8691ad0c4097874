#pragma once
// An emulated kernel-driver node of a module.
#include <deque>
#include <mutex>
#include <string>

#include "sim/usb/DeviceSide.h"

namespace usbemu {

class UsbEmulation;

// A kernel-driver node "/dev/tessarine.%08X" as the host opens it, without
// blocking: reads take what the model queued and fail with EAGAIN when there is
// nothing, writes go to the model, both at any time. umockdev runs every
// emulated call of a process one after the other, so a read that waited here
// would hold the host's writes back. The node is a FIFO that the emulation
// keeps one byte in while bytes are queued (or the node is gone), so that the
// host's poll() wakes exactly when a read finds something.
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
    EmulatedKernelNode(UsbEmulation& emulation, uint32_t serialNumber);
    static int _handleRead(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, void* self);
    static int _handleWrite(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, void* self);
    // False (after answering ENODEV) for descriptors opened before an unplug;
    // notes a new host otherwise.
    bool admit(UMockdevIoctlClient* client, bool& newHost);
    void createNode();
    void detach();
    // The doorbell: one byte in the FIFO while a read would find something.
    void ring(bool on);

    UsbEmulation& emulation_;
    std::string path_;
    UMockdevIoctlBase* handler_ = nullptr;
    mutable std::mutex mutex_;
    Receiver receiver_;
    std::deque<uint8_t> inQueue_;
    int doorbell_ = -1;  // the emulation's own descriptor of the FIFO
    bool rung_ = false;
    HostListener hostListener_;
    bool gone_ = false;
    std::vector<UMockdevIoctlClient*> clients_;  // current connection's descriptors
    std::vector<UMockdevIoctlClient*> stale_;    // descriptors from before an unplug
    std::vector<uint8_t> hostBytes_;
    std::vector<size_t> writes_;
};

}  // namespace usbemu
