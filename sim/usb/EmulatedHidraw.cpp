#include "sim/usb/EmulatedHidraw.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <linux/hidraw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <stdexcept>

#include <umockdev.h>

#include "sim/usb/UsbEmulation.h"

namespace usbemu {

struct EmulatedHidraw::Pending {
    UMockdevIoctlClient* client;
    UMockdevIoctlData* buffer;
};

namespace {

std::string _hex4(uint16_t value)
{
    char text[8];
    snprintf(text, sizeof text, "%04X", value);
    return text;
}

// The records from the USB device down to the hidraw node.
std::string _records(const UsbDeviceConfig& config, unsigned index)
{
    const std::string usb = "/devices/usb1/1-" + std::to_string(20 + index);
    const std::string interface = usb + "/1-" + std::to_string(20 + index) + ":1.0";
    const std::string hid = interface + "/0003:" + _hex4(config.vendorId) + ":" + _hex4(config.productId) + ".000" +
                            std::to_string(index + 1);
    const std::string raw = hid + "/hidraw/hidraw" + std::to_string(index);
    char ids[64];
    snprintf(ids, sizeof ids, "0003:%08X:%08X", config.vendorId, config.productId);
    std::string name = config.manufacturer + " " + config.product;
    std::string out;
    out += "P: " + usb + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: PRODUCT=" + _hex4(config.vendorId) + "/" +
           _hex4(config.productId) + "/100\nA: idVendor=" + _hex4(config.vendorId) +
           "\nA: idProduct=" + _hex4(config.productId) + "\nA: manufacturer=" + config.manufacturer +
           "\nA: product=" + config.product +
           "\nA: bcdDevice=0100\nA: busnum=1\nA: devnum=" + std::to_string(40 + index) + "\n\n";
    out += "P: " + interface +
           "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nA: bInterfaceNumber=00\n"
           "A: bInterfaceClass=03\n\n";
    out += "P: " + hid + "\nE: SUBSYSTEM=hid\nE: HID_ID=" + ids + "\nE: HID_NAME=" + name +
           "\nE: HID_UNIQ=" + (config.serial ? *config.serial : std::string()) + "\nH: report_descriptor=" +
           hex(config.hidReportDescriptor ? *config.hidReportDescriptor : std::vector<uint8_t>{}) + "\n\n";
    out += "P: " + raw + "\nE: SUBSYSTEM=hidraw\nE: DEVNAME=/dev/hidraw" + std::to_string(index) +
           "\nA: dev=247:" + std::to_string(index) + "\nL: device=../../../" + hid.substr(hid.rfind('/') + 1) + "\n";
    return out;
}

}  // namespace

EmulatedHidraw::EmulatedHidraw(UsbEmulation& emulation, const UsbDeviceConfig& config, unsigned index)
    : emulation_(emulation), config_(config), node_("/dev/hidraw" + std::to_string(index))
{
    std::string fifo = emulation_.root_ + node_;
    mkdir((emulation_.root_ + "/dev").c_str(), 0755);
    unlink(fifo.c_str());
    if (mkfifo(fifo.c_str(), 0666) != 0)
        throw std::runtime_error("usb emulation: mkfifo " + fifo);
    doorbell_ = open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    handler_ = umockdev_ioctl_base_new();
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(&EmulatedHidraw::_handleIoctl), this);
    g_signal_connect(handler_, "handle-read", G_CALLBACK(&EmulatedHidraw::_handleRead), this);
    g_signal_connect(handler_, "handle-write", G_CALLBACK(&EmulatedHidraw::_handleWrite), this);
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(emulation_.testbed_, node_.c_str(), handler_, &error) ||
        !umockdev_testbed_add_from_string(emulation_.testbed_, _records(config_, index).c_str(), &error)) {
        std::string message = error ? error->message : "?";
        g_clear_error(&error);
        throw std::runtime_error("usb emulation: hidraw: " + message);
    }
}

void EmulatedHidraw::detach()
{
    {
        std::lock_guard<std::mutex> hold(mutex_);
        for (Pending* pending : reads_)
            umockdev_ioctl_client_complete(pending->client, 0, 0);
    }
    umockdev_testbed_detach_ioctl(emulation_.testbed_, node_.c_str(), nullptr);
}

// Runs after the testbed and its worker thread are gone.
EmulatedHidraw::~EmulatedHidraw()
{
    std::lock_guard<std::mutex> hold(mutex_);
    for (Pending* pending : reads_) {
        g_object_unref(pending->buffer);
        g_object_unref(pending->client);
        delete pending;
    }
    if (doorbell_ >= 0)
        close(doorbell_);
    g_object_unref(handler_);
}

void EmulatedHidraw::setReceiver(Receiver receiver)
{
    std::lock_guard<std::mutex> hold(mutex_);
    receiver_ = std::move(receiver);
}

// One byte in the FIFO while reports wait.
void EmulatedHidraw::ring()
{
    char byte = 0;
    while (read(doorbell_, &byte, 1) > 0) {
    }
    if (!reports_.empty())
        (void)!write(doorbell_, &byte, 1);
}

void EmulatedHidraw::answer(UMockdevIoctlClient* client, UMockdevIoctlData* buffer)
{
    std::vector<uint8_t> report = std::move(reports_.front());
    reports_.pop_front();
    size_t n = std::min(report.size(), static_cast<size_t>(buffer->data_len));
    if (n)
        umockdev_ioctl_data_update(buffer, 0, report.data(), static_cast<int>(n));
    umockdev_ioctl_client_complete(client, static_cast<long>(n), 0);
    ring();
}

void EmulatedHidraw::sendReport(const std::vector<uint8_t>& report)
{
    std::lock_guard<std::mutex> hold(mutex_);
    reports_.push_back(report);
    while (!reads_.empty() && !reports_.empty()) {
        Pending* pending = reads_.front();
        reads_.pop_front();
        answer(pending->client, pending->buffer);
        g_object_unref(pending->buffer);
        g_object_unref(pending->client);
        delete pending;
    }
    ring();
}

std::vector<size_t> EmulatedHidraw::writes() const
{
    std::lock_guard<std::mutex> hold(mutex_);
    return writes_;
}

int EmulatedHidraw::_handleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self)
{
    auto* device = static_cast<EmulatedHidraw*>(self);
    unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    std::vector<uint8_t> descriptor =
        device->config_.hidReportDescriptor ? *device->config_.hidReportDescriptor : std::vector<uint8_t>{};
    GError* error = nullptr;
    if (request == HIDIOCGRDESCSIZE) {
        UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, sizeof(int), &error);
        g_clear_error(&error);
        int size = static_cast<int>(descriptor.size());
        if (data)
            umockdev_ioctl_data_update(data, 0, reinterpret_cast<guint8*>(&size), sizeof size);
        umockdev_ioctl_client_complete(client, data ? 0 : -1, data ? 0 : EFAULT);
        return true;
    }
    if (request == HIDIOCGRDESC) {
        UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, sizeof(hidraw_report_descriptor), &error);
        g_clear_error(&error);
        if (data) {
            hidraw_report_descriptor out{};
            out.size = static_cast<uint32_t>(descriptor.size());
            std::copy(descriptor.begin(), descriptor.end(), out.value);
            umockdev_ioctl_data_update(data, 0, reinterpret_cast<guint8*>(&out), sizeof out);
        }
        umockdev_ioctl_client_complete(client, data ? 0 : -1, data ? 0 : EFAULT);
        return true;
    }
    if (request == HIDIOCGRAWINFO) {
        UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, sizeof(hidraw_devinfo), &error);
        g_clear_error(&error);
        if (data) {
            hidraw_devinfo info{3, static_cast<__s16>(device->config_.vendorId),
                                static_cast<__s16>(device->config_.productId)};
            umockdev_ioctl_data_update(data, 0, reinterpret_cast<guint8*>(&info), sizeof info);
        }
        umockdev_ioctl_client_complete(client, data ? 0 : -1, data ? 0 : EFAULT);
        return true;
    }
    return false;
}

int EmulatedHidraw::_handleRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self)
{
    auto* device = static_cast<EmulatedHidraw*>(self);
    std::lock_guard<std::mutex> hold(device->mutex_);
    UMockdevIoctlData* buffer = umockdev_ioctl_client_get_arg(client);
    if (!device->reports_.empty()) {
        device->answer(client, buffer);
        return true;
    }
    // A blocking read with nothing queued waits for the next report.
    device->reads_.push_back(new Pending{static_cast<UMockdevIoctlClient*>(g_object_ref(client)),
                                         static_cast<UMockdevIoctlData*>(g_object_ref(buffer))});
    return true;
}

int EmulatedHidraw::_handleWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self)
{
    auto* device = static_cast<EmulatedHidraw*>(self);
    UMockdevIoctlData* data = umockdev_ioctl_client_get_arg(client);
    std::vector<uint8_t> bytes(data->data, data->data + data->data_len);
    Receiver receiver;
    {
        std::lock_guard<std::mutex> hold(device->mutex_);
        device->writes_.push_back(bytes.size());
        receiver = device->receiver_;
    }
    umockdev_ioctl_client_complete(client, static_cast<long>(bytes.size()), 0);
    if (receiver && !bytes.empty())
        receiver(bytes.data(), bytes.size());
    return true;
}

}  // namespace usbemu
