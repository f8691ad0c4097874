#include "sim/usb/EmulatedUsbDevice.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <sys/stat.h>
#include <unistd.h>

#include <umockdev.h>

#include "sim/usb/UsbEmulation.h"

namespace usbemu {

namespace {

// ---- usbdevfs argument access ----------------------------------------------

// The memory an ioctl argument points to, `length` bytes of it.
UMockdevIoctlData* _deref(UMockdevIoctlData* arg, size_t length)
{
    GError* error = nullptr;
    UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, length, &error);
    if (error)
        g_error_free(error);
    return data;
}

unsigned _uint_argument(UMockdevIoctlData* arg, bool* ok)
{
    UMockdevIoctlData* data = _deref(arg, sizeof(unsigned));
    *ok = data != nullptr;
    return data ? *reinterpret_cast<unsigned*>(data->data) : 0;
}

constexpr unsigned CLAIM_RECHECK_MS = 100;

void _complete(UMockdevIoctlClient* client, long result, int error = 0)
{
    umockdev_ioctl_client_complete(client, result, error);
}

}  // namespace

// ============================================================================
// EmulatedUsbDevice

struct EmulatedUsbDevice::Urb {
    UMockdevIoctlClient* client = nullptr;
    UMockdevIoctlData* urb = nullptr;
    UMockdevIoctlData* buffer = nullptr;
    uint8_t type = 0;
    uint8_t endpoint = 0;
    int length = 0;
    int actual = 0;
    ~Urb()
    {
        if (urb)
            g_object_unref(urb);
        if (client)
            g_object_unref(client);
    }
};

struct EmulatedUsbDevice::Session {
    EmulatedUsbDevice* device = nullptr;
    unsigned address = 0;
    std::string node;     // "/dev/bus/usb/001/NNN"
    std::string syspath;  // "/sys/devices/usb1/1-P"
    UMockdevIoctlBase* handler = nullptr;
    int doorbell = -1;
    bool rung = false;
    bool gone = false;
    std::deque<std::unique_ptr<Urb>> pending;
    std::deque<std::unique_ptr<Urb>> finished;
    std::map<UMockdevIoctlClient*, unsigned> claims;  // client -> interface bits
};

EmulatedUsbDevice::EmulatedUsbDevice(UsbEmulation& emulation, UsbDeviceConfig config, unsigned port)
    : emulation_(emulation), config_(std::move(config)), port_(port)
{
}

void EmulatedUsbDevice::detach()
{
    for (auto& session : sessions_)
        umockdev_testbed_detach_ioctl(emulation_.testbed_, session->node.c_str(), nullptr);
}

// Runs after the testbed and its worker thread are gone.
EmulatedUsbDevice::~EmulatedUsbDevice()
{
    for (auto& session : sessions_) {
        g_object_unref(session->handler);
        if (session->doorbell >= 0)
            close(session->doorbell);
    }
}

EmulatedUsbDevice::Session* EmulatedUsbDevice::current() const
{
    if (sessions_.empty() || sessions_.back()->gone)
        return nullptr;
    return sessions_.back().get();
}

bool EmulatedUsbDevice::plugged() const
{
    std::lock_guard<std::mutex> hold(mutex_);
    return current() != nullptr;
}

std::string EmulatedUsbDevice::node() const
{
    std::lock_guard<std::mutex> hold(mutex_);
    return sessions_.empty() ? std::string() : sessions_.back()->node;
}

void EmulatedUsbDevice::plug()
{
    auto session = std::make_unique<Session>();
    session->device = this;
    session->address = emulation_.nextAddress();
    char node[64];
    snprintf(node, sizeof node, "/dev/bus/usb/001/%03u", session->address);
    session->node = node;
    session->syspath = "/sys/devices/usb1/1-" + std::to_string(port_);

    // The node is a FIFO that polls writable only while a finished URB waits
    // to be reaped, so that libusb sleeps in poll instead of spinning.
    std::string fifo = emulation_.root_ + session->node;
    unlink(fifo.c_str());
    if (mkfifo(fifo.c_str(), 0666) != 0)
        throw std::runtime_error("usb emulation: mkfifo " + fifo);
    session->doorbell = open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    fcntl(session->doorbell, F_SETPIPE_SZ, 4096);
    ring(*session);

    session->handler = umockdev_ioctl_base_new();
    g_signal_connect(session->handler, "handle-ioctl", G_CALLBACK(&EmulatedUsbDevice::_handleIoctl), session.get());
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(emulation_.testbed_, session->node.c_str(), session->handler, &error)) {
        std::string message = error ? error->message : "?";
        g_clear_error(&error);
        throw std::runtime_error("usb emulation: attach_ioctl: " + message);
    }
    Session* added = session.get();
    {
        std::lock_guard<std::mutex> hold(mutex_);
        sessions_.push_back(std::move(session));
    }
    std::string record = deviceRecord(config_, port_, added->address);
    if (!umockdev_testbed_add_from_string(emulation_.testbed_, record.c_str(), &error)) {
        std::string message = error ? error->message : "?";
        g_clear_error(&error);
        throw std::runtime_error("usb emulation: add device: " + message);
    }
}

void EmulatedUsbDevice::unplug()
{
    std::string syspath;
    std::string fifo;
    bool hadHost;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        Session* session = current();
        if (!session)
            return;
        hadHost = anyClaim(*session);
        session->gone = true;
        while (!session->pending.empty())
            finish(*session, *session->pending.front(), -ESHUTDOWN);
        ring(*session);
        inQueue_.clear();
        inBlocks_.clear();
        halted_.clear();
        syspath = session->syspath;
        fifo = emulation_.root_ + session->node;
    }
    umockdev_testbed_uevent(emulation_.testbed_, syspath.c_str(), "remove");
    umockdev_testbed_remove_device(emulation_.testbed_, syspath.c_str());
    unlink(fifo.c_str());
    if (hadHost)
        tellHost(false);
}

void EmulatedUsbDevice::replug()
{
    {
        std::lock_guard<std::mutex> hold(mutex_);
        if (current())
            return;
    }
    plug();
}

void EmulatedUsbDevice::scheduleReplug(unsigned pauseMs, std::function<void()> whenPlugged)
{
    emulation_.post(0, [this, pauseMs, whenPlugged = std::move(whenPlugged)] {
        unplug();
        emulation_.post(pauseMs, [this, whenPlugged] {
            replug();
            if (whenPlugged)
                whenPlugged();
        });
    });
}

void EmulatedUsbDevice::setHostListener(HostListener listener)
{
    std::lock_guard<std::mutex> hold(mutex_);
    hostListener_ = std::move(listener);
}

void EmulatedUsbDevice::tellHost(bool connected)
{
    HostListener listener;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        listener = hostListener_;
    }
    if (listener)
        listener(connected);
}

bool EmulatedUsbDevice::anyClaim(const Session& session) const
{
    if (session.gone)
        return false;
    for (auto& [client, interfaces] : session.claims)
        if (interfaces)
            return true;
    return false;
}

void EmulatedUsbDevice::setReceiver(Receiver receiver)
{
    std::lock_guard<std::mutex> hold(mutex_);
    receiver_ = std::move(receiver);
}

void EmulatedUsbDevice::sendToHost(const uint8_t* data, size_t length)
{
    std::lock_guard<std::mutex> hold(mutex_);
    Session* session = current();
    if (!session)
        return;
    inQueue_.insert(inQueue_.end(), data, data + length);
    if (config_.hidReportDescriptor && length)
        inBlocks_.push_back(length);
    serviceIn(*session);
    ring(*session);
}

// ---- faults and records ------------------------------------------------------

void EmulatedUsbDevice::stallOut()
{
    std::lock_guard<std::mutex> hold(mutex_);
    halted_[config_.outAddress] = true;
}

void EmulatedUsbDevice::stallIn()
{
    std::lock_guard<std::mutex> hold(mutex_);
    halted_[config_.inAddress] = true;
    if (Session* session = current()) {
        serviceIn(*session);
        ring(*session);
    }
}

void EmulatedUsbDevice::failClearHalt(bool fail)
{
    std::lock_guard<std::mutex> hold(mutex_);
    failClearHalt_ = fail;
}

void EmulatedUsbDevice::refuseOut(bool refuse)
{
    std::lock_guard<std::mutex> hold(mutex_);
    refuseOut_ = refuse;
}

void EmulatedUsbDevice::acceptPartially(size_t bytes)
{
    std::lock_guard<std::mutex> hold(mutex_);
    partial_ = bytes;
}

void EmulatedUsbDevice::failIn(unsigned count, int error)
{
    std::lock_guard<std::mutex> hold(mutex_);
    failIn_ = count;
    failInError_ = error;
    if (Session* session = current()) {
        serviceIn(*session);
        ring(*session);
    }
}

void EmulatedUsbDevice::holdInterface(bool held)
{
    std::lock_guard<std::mutex> hold(mutex_);
    held_ = held;
}

std::vector<size_t> EmulatedUsbDevice::outTransfers() const
{
    std::lock_guard<std::mutex> hold(mutex_);
    return outTransfers_;
}

std::vector<uint8_t> EmulatedUsbDevice::hostBytes() const
{
    std::lock_guard<std::mutex> hold(mutex_);
    return hostBytes_;
}

unsigned EmulatedUsbDevice::clearHalts(uint8_t endpoint) const
{
    std::lock_guard<std::mutex> hold(mutex_);
    auto found = clearHalts_.find(endpoint);
    return found == clearHalts_.end() ? 0 : found->second;
}

unsigned EmulatedUsbDevice::claims() const
{
    std::lock_guard<std::mutex> hold(mutex_);
    return claims_;
}

bool EmulatedUsbDevice::claimed() const
{
    std::lock_guard<std::mutex> hold(mutex_);
    Session* session = current();
    if (!session)
        return false;
    for (auto& [client, interfaces] : session->claims)
        if (interfaces && umockdev_ioctl_client_get_connected(client))
            return true;
    return false;
}

unsigned EmulatedUsbDevice::stringRequests() const
{
    std::lock_guard<std::mutex> hold(mutex_);
    return stringRequests_;
}

void EmulatedUsbDevice::clearRecord()
{
    std::lock_guard<std::mutex> hold(mutex_);
    outTransfers_.clear();
    hostBytes_.clear();
    clearHalts_.clear();
    claims_ = 0;
    stringRequests_ = 0;
}

// ---- usbdevfs ---------------------------------------------------------------

int EmulatedUsbDevice::_handleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* session)
{
    auto* s = static_cast<Session*>(session);
    EmulatedUsbDevice* device = s->device;
    std::vector<uint8_t> delivery;
    bool handled;
    Receiver receiver;
    bool before;
    bool after;
    {
        std::lock_guard<std::mutex> hold(device->mutex_);
        before = device->anyClaim(*s);
        handled = device->handleIoctl(*s, client, delivery);
        after = device->anyClaim(*s);
        if (!delivery.empty())
            receiver = device->receiver_;
    }
    if (before != after)
        device->tellHost(after);
    // The model answers through sendToHost, which takes the lock again.
    if (receiver)
        receiver(delivery.data(), delivery.size());
    return handled;
}

bool EmulatedUsbDevice::handleIoctl(Session& session, UMockdevIoctlClient* client, std::vector<uint8_t>& delivery)
{
    prune(session);
    unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    if (session.gone && request != USBDEVFS_REAPURBNDELAY && request != USBDEVFS_REAPURB) {
        _complete(client, -1, ENODEV);
        return true;
    }
    bool ok = true;
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
        uint32_t capabilities = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                                USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_BULK_SCATTER_GATHER |
                                USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
        UMockdevIoctlData* data = _deref(arg, sizeof capabilities);
        if (!data)
            return _complete(client, -1, EFAULT), true;
        umockdev_ioctl_data_update(data, 0, reinterpret_cast<guint8*>(&capabilities), sizeof capabilities);
        _complete(client, 0);
        return true;
    }
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_DISCONNECT_CLAIM: {
        unsigned interface = _uint_argument(arg, &ok);
        if (!ok)
            return _complete(client, -1, EFAULT), true;
        if (interface != 0)
            return _complete(client, -1, ENOENT), true;
        if (held_)
            return _complete(client, -1, EBUSY), true;
        if (!claimedByOther(session, client, interface)) {
            claim(session, client, interface);
            return true;
        }
        // umockdev notices closed descriptors late: look again shortly before
        // calling the interface busy.
        g_object_ref(client);
        Session* s = &session;
        emulation_.post(CLAIM_RECHECK_MS, [this, s, client, interface] {
            bool before;
            bool after;
            {
                std::lock_guard<std::mutex> hold(mutex_);
                before = anyClaim(*s);
                prune(*s);
                if (s->gone)
                    _complete(client, -1, ENODEV);
                else if (claimedByOther(*s, client, interface))
                    _complete(client, -1, EBUSY);
                else
                    claim(*s, client, interface);
                after = anyClaim(*s);
            }
            g_object_unref(client);
            if (before != after)
                tellHost(after);
        });
        return true;
    }
    case USBDEVFS_RELEASEINTERFACE: {
        unsigned interface = _uint_argument(arg, &ok);
        auto found = session.claims.find(client);
        if (!ok || interface > 31 || found == session.claims.end() || !(found->second & (1u << interface)))
            return _complete(client, -1, EINVAL), true;
        found->second &= ~(1u << interface);
        _complete(client, 0);
        return true;
    }
    case USBDEVFS_CLEAR_HALT: {
        unsigned endpoint = _uint_argument(arg, &ok);
        if (!ok)
            return _complete(client, -1, EFAULT), true;
        if (endpoint != config_.inAddress && endpoint != config_.outAddress)
            return _complete(client, -1, ENOENT), true;
        ++clearHalts_[static_cast<uint8_t>(endpoint)];
        if (failClearHalt_)
            return _complete(client, -1, EPIPE), true;
        halted_[static_cast<uint8_t>(endpoint)] = false;
        _complete(client, 0);
        return true;
    }
    case USBDEVFS_RESET:
    case USBDEVFS_RESETEP:
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_SETCONFIGURATION:
        _complete(client, 0);
        return true;
    case USBDEVFS_GETDRIVER:
    case USBDEVFS_IOCTL:
        _complete(client, -1, ENODATA);
        return true;
    case USBDEVFS_SUBMITURB:
        submit(session, client, arg, delivery);
        ring(session);
        return true;
    case USBDEVFS_DISCARDURB: {
        unsigned long address = *reinterpret_cast<unsigned long*>(arg->data);
        for (auto& urb : session.pending) {
            if (urb->client == client && urb->urb->client_addr == address) {
                finish(session, *urb, -ENOENT);
                ring(session);
                _complete(client, 0);
                return true;
            }
        }
        _complete(client, -1, EINVAL);
        return true;
    }
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY: {
        for (auto it = session.finished.begin(); it != session.finished.end(); ++it) {
            if ((*it)->client != client)
                continue;
            UMockdevIoctlData* target = _deref(arg, sizeof(void*));
            if (!target)
                return _complete(client, -1, EFAULT), true;
            umockdev_ioctl_data_set_ptr(target, 0, (*it)->urb);
            _complete(client, 0);
            session.finished.erase(it);
            ring(session);
            return true;
        }
        _complete(client, -1, session.gone ? ENODEV : EAGAIN);
        return true;
    }
    default:
        return false;
    }
}

void EmulatedUsbDevice::submit(Session& session, UMockdevIoctlClient* client, UMockdevIoctlData* arg,
                               std::vector<uint8_t>& delivery)
{
    UMockdevIoctlData* data = _deref(arg, sizeof(usbdevfs_urb));
    if (!data) {
        _complete(client, -1, EFAULT);
        return;
    }
    auto* raw = reinterpret_cast<usbdevfs_urb*>(data->data);
    auto urb = std::make_unique<Urb>();
    urb->client = static_cast<UMockdevIoctlClient*>(g_object_ref(client));
    urb->urb = static_cast<UMockdevIoctlData*>(g_object_ref(data));
    urb->type = raw->type;
    urb->endpoint = raw->endpoint;
    urb->length = raw->buffer_length;
    if (urb->length > 0) {
        GError* error = nullptr;
        urb->buffer = umockdev_ioctl_data_resolve(data, offsetof(usbdevfs_urb, buffer), urb->length, &error);
        g_clear_error(&error);
        if (!urb->buffer) {
            _complete(client, -1, EFAULT);
            return;
        }
    }
    bool known = urb->endpoint == 0 || urb->endpoint == config_.inAddress || urb->endpoint == config_.outAddress;
    if (!known) {
        _complete(client, -1, ENOENT);
        return;
    }
    _complete(client, 0);
    session.pending.push_back(std::move(urb));
    Urb& submitted = *session.pending.back();
    if (submitted.type == USBDEVFS_URB_TYPE_CONTROL)
        control(submitted);
    else if (submitted.endpoint & 0x80)
        bulkIn(session, submitted);
    else
        bulkOut(session, submitted, delivery);
    // control() cannot reach the session: finish control transfers here.
    if (submitted.type == USBDEVFS_URB_TYPE_CONTROL)
        finish(session, submitted, submitted.actual < 0 ? -EPIPE : 0);
}

void EmulatedUsbDevice::control(Urb& urb)
{
    // Setup packet: request type, request, value, index, length; data after it.
    if (urb.length < 8) {
        urb.actual = -1;
        return;
    }
    const uint8_t* setup = urb.buffer->data;
    uint8_t requestType = setup[0];
    uint8_t request = setup[1];
    uint16_t value = static_cast<uint16_t>(setup[2] | setup[3] << 8);
    uint16_t wanted = static_cast<uint16_t>(setup[6] | setup[7] << 8);
    std::optional<std::vector<uint8_t>> answer;
    if (requestType == 0x80 && request == 0x06) {
        uint8_t type = static_cast<uint8_t>(value >> 8);
        if (type == 0x01)
            answer = deviceDescriptor(config_);
        else if (type == 0x02)
            answer = configurationDescriptor(config_);
        else if (type == 0x03 && ++stringRequests_)
            answer = stringDescriptor(config_, static_cast<uint8_t>(value & 0xFF));
    } else if (requestType == 0x81 && request == 0x06 && (value >> 8) == 0x22 && config_.hidReportDescriptor) {
        answer = config_.hidReportDescriptor;  // HID report descriptor
    } else if ((requestType & 0x80) && request == 0x00) {
        answer = std::vector<uint8_t>{0, 0};
    } else if (requestType == 0x21 && config_.hidReportDescriptor) {
        answer = std::vector<uint8_t>{};  // HID class requests (SET_IDLE) are taken
    }
    if (!answer) {
        urb.actual = -1;
        return;
    }
    size_t n = std::min<size_t>({answer->size(), wanted, static_cast<size_t>(urb.length - 8)});
    if (n)
        umockdev_ioctl_data_update(urb.buffer, 8, answer->data(), static_cast<int>(n));
    urb.actual = static_cast<int>(n);
}

void EmulatedUsbDevice::bulkOut(Session& session, Urb& urb, std::vector<uint8_t>& delivery)
{
    if (halted_[urb.endpoint]) {
        finish(session, urb, -EPIPE);
        return;
    }
    if (refuseOut_)
        return;  // NAK until libusb discards it
    size_t take = static_cast<size_t>(urb.length);
    bool stays = false;
    if (partial_) {
        take = std::min(take, partial_);
        partial_ = 0;
        stays = true;
    }
    const uint8_t* bytes = urb.buffer ? urb.buffer->data : nullptr;
    if (take)
        delivery.insert(delivery.end(), bytes, bytes + take);
    hostBytes_.insert(hostBytes_.end(), bytes, bytes + take);
    urb.actual = static_cast<int>(take);
    if (stays)
        return;
    outTransfers_.push_back(take);
    finish(session, urb, 0);
}

void EmulatedUsbDevice::bulkIn(Session& session, Urb&)
{
    serviceIn(session);
}

// Ends pending IN transfers: with the device's fault, a halt, or queued data.
void EmulatedUsbDevice::serviceIn(Session& session)
{
    for (size_t i = 0; i < session.pending.size();) {
        Urb& urb = *session.pending[i];
        if (urb.type == USBDEVFS_URB_TYPE_CONTROL || !(urb.endpoint & 0x80)) {
            ++i;
            continue;
        }
        if (failIn_) {
            --failIn_;
            finish(session, urb, -failInError_);
        } else if (halted_[urb.endpoint]) {
            finish(session, urb, -EPIPE);
        } else if (!inQueue_.empty()) {
            size_t n = std::min(inQueue_.size(), static_cast<size_t>(urb.length));
            if (!inBlocks_.empty()) {
                n = std::min(n, inBlocks_.front());
                if ((inBlocks_.front() -= n) == 0)
                    inBlocks_.pop_front();
            }
            std::vector<uint8_t> chunk(inQueue_.begin(), inQueue_.begin() + static_cast<long>(n));
            inQueue_.erase(inQueue_.begin(), inQueue_.begin() + static_cast<long>(n));
            if (n)
                umockdev_ioctl_data_update(urb.buffer, 0, chunk.data(), static_cast<int>(n));
            urb.actual = static_cast<int>(n);
            finish(session, urb, 0);
        } else {
            return;  // nothing more to give; later URBs wait too
        }
    }
}

// Moves a pending URB to the finished list with its status and length.
void EmulatedUsbDevice::finish(Session& session, Urb& urb, int status)
{
    int actual = urb.actual < 0 ? 0 : urb.actual;
    umockdev_ioctl_data_update(urb.urb, offsetof(usbdevfs_urb, status), reinterpret_cast<guint8*>(&status),
                               sizeof status);
    umockdev_ioctl_data_update(urb.urb, offsetof(usbdevfs_urb, actual_length), reinterpret_cast<guint8*>(&actual),
                               sizeof actual);
    for (auto it = session.pending.begin(); it != session.pending.end(); ++it) {
        if (it->get() == &urb) {
            session.finished.push_back(std::move(*it));
            session.pending.erase(it);
            return;
        }
    }
}

// Drains the FIFO (the node polls writable) while a finished URB waits,
// fills it otherwise.
void EmulatedUsbDevice::ring(Session& session)
{
    bool wanted = !session.finished.empty();
    if (session.doorbell < 0 || wanted == session.rung)
        return;
    char block[4096];
    if (wanted) {
        while (read(session.doorbell, block, sizeof block) > 0) {
        }
    } else {
        memset(block, 0, sizeof block);
        while (write(session.doorbell, block, sizeof block) > 0) {
        }
    }
    session.rung = wanted;
}

// Forgets the transfers and claims of descriptors that were closed.
void EmulatedUsbDevice::prune(Session& session)
{
    auto gone = [](const std::unique_ptr<Urb>& urb) { return !umockdev_ioctl_client_get_connected(urb->client); };
    std::erase_if(session.pending, gone);
    std::erase_if(session.finished, gone);
    for (auto it = session.claims.begin(); it != session.claims.end();) {
        if (umockdev_ioctl_client_get_connected(it->first)) {
            ++it;
            continue;
        }
        g_object_unref(it->first);
        it = session.claims.erase(it);
    }
    ring(session);
}

void EmulatedUsbDevice::claim(Session& session, UMockdevIoctlClient* client, unsigned interface)
{
    auto holder = session.claims.find(client);
    if (holder == session.claims.end())
        holder = session.claims.emplace(static_cast<UMockdevIoctlClient*>(g_object_ref(client)), 0u).first;
    holder->second |= 1u << interface;
    ++claims_;
    _complete(client, 0);
}

bool EmulatedUsbDevice::claimedByOther(Session& session, UMockdevIoctlClient* client, unsigned interface)
{
    for (auto& [holder, interfaces] : session.claims)
        if (holder != client && (interfaces & (1u << interface)) && umockdev_ioctl_client_get_connected(holder))
            return true;
    return false;
}

}  // namespace usbemu
