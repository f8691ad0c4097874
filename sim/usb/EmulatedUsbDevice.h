#pragma once
// An emulated USB device: usbdevfs ioctls (claims, halts, URBs) answered for
// the real libusb, with faults to inject and a record of what the host did.
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "sim/usb/DeviceSide.h"
#include "sim/usb/UsbDescriptors.h"

namespace usbemu {

class UsbEmulation;

// One emulated USB device on bus 1, with its usbdevfs node.
class EmulatedUsbDevice : public DeviceSide {
public:
    ~EmulatedUsbDevice() override;
    void setReceiver(Receiver receiver) override;
    void sendToHost(const uint8_t* data, size_t length) override;
    using DeviceSide::sendToHost;
    void setHostListener(HostListener listener) override;
    void unplug() override;
    void replug() override;
    bool plugged() const override;

    const UsbDeviceConfig& config() const { return config_; }
    std::string node() const;

    // Faults.
    void stallOut();                         // halt the OUT endpoint until cleared
    void stallIn();                          // halt the IN endpoint until cleared
    void failClearHalt(bool fail);           // CLEAR_HALT answers EPIPE
    void refuseOut(bool refuse);             // OUT transfers stay pending (time-outs)
    void acceptPartially(size_t bytes);      // next OUT takes `bytes`, then stays pending
    void failIn(unsigned count, int error);  // next IN transfers end with -error
    void holdInterface(bool held);           // another program has claimed it
    // Unplugs now and plugs back in (at a new address) after `pauseMs`, both on
    // the emulation's thread.
    void scheduleReplug(unsigned pauseMs, std::function<void()> whenPlugged = {});

    // What the host did.
    std::vector<size_t> outTransfers() const;  // lengths of completed OUT transfers
    std::vector<uint8_t> hostBytes() const;    // every byte received
    unsigned clearHalts(uint8_t endpoint) const;
    unsigned claims() const;
    bool claimed() const;
    unsigned stringRequests() const;  // string descriptors asked for
    void clearRecord();

private:
    friend class UsbEmulation;
    struct Urb;
    struct Session;
    struct Delivery;
    EmulatedUsbDevice(UsbEmulation& emulation, UsbDeviceConfig config, unsigned port);

    void plug();
    void detach();
    static int _handleIoctl(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, void* session);
    bool handleIoctl(Session& session, UMockdevIoctlClient* client, std::vector<uint8_t>& delivery);
    void submit(Session& session, UMockdevIoctlClient* client, UMockdevIoctlData* arg, std::vector<uint8_t>& delivery);
    void control(Urb& urb);
    void bulkOut(Session& session, Urb& urb, std::vector<uint8_t>& delivery);
    void bulkIn(Session& session, Urb& urb);
    void serviceIn(Session& session);
    void finish(Session& session, Urb& urb, int status);
    void ring(Session& session);
    void prune(Session& session);
    void claim(Session& session, UMockdevIoctlClient* client, unsigned interface);
    bool anyClaim(const Session& session) const;
    void tellHost(bool connected);
    bool claimedByOther(Session& session, UMockdevIoctlClient* client, unsigned interface);
    Session* current() const;

    UsbEmulation& emulation_;
    const UsbDeviceConfig config_;
    const unsigned port_;
    mutable std::mutex mutex_;
    Receiver receiver_;
    HostListener hostListener_;
    std::vector<std::unique_ptr<Session>> sessions_;
    std::deque<uint8_t> inQueue_;
    std::deque<size_t> inBlocks_;  // HID: lengths of the reports queued, one IN transfer each
    std::map<uint8_t, bool> halted_;
    bool failClearHalt_ = false;
    bool refuseOut_ = false;
    size_t partial_ = 0;
    unsigned failIn_ = 0;
    int failInError_ = 0;
    bool held_ = false;
    std::vector<size_t> outTransfers_;
    std::vector<uint8_t> hostBytes_;
    std::map<uint8_t, unsigned> clearHalts_;
    unsigned claims_ = 0;
    unsigned stringRequests_ = 0;
};

}  // namespace usbemu
