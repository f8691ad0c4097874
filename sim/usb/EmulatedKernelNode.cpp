#include "sim/usb/EmulatedKernelNode.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <stdexcept>
#include <unistd.h>

#include <umockdev.h>

#include "sim/usb/UsbEmulation.h"

namespace usbemu {

EmulatedKernelNode::EmulatedKernelNode(UsbEmulation& emulation, uint32_t serialNumber) : emulation_(emulation)
{
    char path[64];
    snprintf(path, sizeof path, "/dev/tessarine.%08X", serialNumber);
    path_ = path;
    handler_ = umockdev_ioctl_base_new();
    g_signal_connect(handler_, "handle-read", G_CALLBACK(&EmulatedKernelNode::_handleRead), this);
    g_signal_connect(handler_, "handle-write", G_CALLBACK(&EmulatedKernelNode::_handleWrite), this);
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(emulation_.testbed_, path_.c_str(), handler_, &error)) {
        std::string message = error ? error->message : "?";
        g_clear_error(&error);
        throw std::runtime_error("usb emulation: attach_ioctl: " + message);
    }
    createNode();
}

void EmulatedKernelNode::detach()
{
    umockdev_testbed_detach_ioctl(emulation_.testbed_, path_.c_str(), nullptr);
}

// Runs after the testbed and its worker thread are gone.
EmulatedKernelNode::~EmulatedKernelNode()
{
    std::lock_guard<std::mutex> hold(mutex_);
    for (UMockdevIoctlClient* client : clients_)
        g_object_unref(client);
    for (UMockdevIoctlClient* client : stale_)
        g_object_unref(client);
    g_object_unref(handler_);
    if (doorbell_ >= 0)
        close(doorbell_);
}

// The preload redirects the host's open of the node to this FIFO in the testbed and
// connects the descriptor to the handler; poll() sees the FIFO itself.
void EmulatedKernelNode::createNode()
{
    std::string file = emulation_.root_ + path_;
    if (mkfifo(file.c_str(), 0666) != 0)
        throw std::runtime_error("usb emulation: mkfifo " + file);
    if (doorbell_ >= 0)
        close(doorbell_);
    doorbell_ = open(file.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (doorbell_ < 0)
        throw std::runtime_error("usb emulation: open " + file);
    rung_ = false;
}

void EmulatedKernelNode::ring(bool on)
{
    if (on == rung_ || doorbell_ < 0)
        return;
    uint8_t byte = 1;
    ssize_t moved = on ? write(doorbell_, &byte, 1) : read(doorbell_, &byte, 1);
    rung_ = moved == 1 ? on : rung_;
}

void EmulatedKernelNode::setReceiver(Receiver receiver)
{
    std::lock_guard<std::mutex> hold(mutex_);
    receiver_ = std::move(receiver);
}

void EmulatedKernelNode::setHostListener(HostListener listener)
{
    std::lock_guard<std::mutex> hold(mutex_);
    hostListener_ = std::move(listener);
}

bool EmulatedKernelNode::plugged() const
{
    std::lock_guard<std::mutex> hold(mutex_);
    return !gone_;
}

void EmulatedKernelNode::sendToHost(const uint8_t* data, size_t length)
{
    std::lock_guard<std::mutex> hold(mutex_);
    if (gone_)
        return;
    inQueue_.insert(inQueue_.end(), data, data + length);
    ring(!inQueue_.empty());
}

bool EmulatedKernelNode::admit(UMockdevIoctlClient* client, bool& newHost)
{
    newHost = false;
    if (gone_ || std::find(stale_.begin(), stale_.end(), client) != stale_.end()) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return false;
    }
    if (std::find(clients_.begin(), clients_.end(), client) == clients_.end()) {
        clients_.push_back(static_cast<UMockdevIoctlClient*>(g_object_ref(client)));
        newHost = clients_.size() == 1;
    }
    return true;
}

int EmulatedKernelNode::_handleRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self)
{
    auto* node = static_cast<EmulatedKernelNode*>(self);
    bool newHost;
    HostListener listener;
    {
        std::lock_guard<std::mutex> hold(node->mutex_);
        if (!node->admit(client, newHost))
            return true;
        listener = newHost ? node->hostListener_ : nullptr;
        UMockdevIoctlData* buffer = umockdev_ioctl_client_get_arg(client);
        size_t n = std::min(node->inQueue_.size(), static_cast<size_t>(buffer->data_len));
        if (n == 0) {
            umockdev_ioctl_client_complete(client, -1, EAGAIN);
        } else {
            std::vector<uint8_t> chunk(node->inQueue_.begin(), node->inQueue_.begin() + static_cast<long>(n));
            node->inQueue_.erase(node->inQueue_.begin(), node->inQueue_.begin() + static_cast<long>(n));
            umockdev_ioctl_data_update(buffer, 0, chunk.data(), static_cast<int>(n));
            umockdev_ioctl_client_complete(client, static_cast<long>(n), 0);
        }
        node->ring(!node->inQueue_.empty());
    }
    if (listener)
        listener(true);
    return true;
}

int EmulatedKernelNode::_handleWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self)
{
    auto* node = static_cast<EmulatedKernelNode*>(self);
    UMockdevIoctlData* data = umockdev_ioctl_client_get_arg(client);
    std::vector<uint8_t> bytes(data->data, data->data + data->data_len);
    Receiver receiver;
    HostListener listener;
    {
        std::lock_guard<std::mutex> hold(node->mutex_);
        bool newHost;
        if (!node->admit(client, newHost))
            return true;
        listener = newHost ? node->hostListener_ : nullptr;
        node->hostBytes_.insert(node->hostBytes_.end(), bytes.begin(), bytes.end());
        node->writes_.push_back(bytes.size());
        receiver = node->receiver_;
    }
    umockdev_ioctl_client_complete(client, static_cast<long>(bytes.size()), 0);
    if (listener)
        listener(true);
    if (receiver && !bytes.empty())
        receiver(bytes.data(), bytes.size());
    return true;
}

void EmulatedKernelNode::unplug()
{
    HostListener listener;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        if (gone_)
            return;
        gone_ = true;
        inQueue_.clear();
        ring(true);  // a host waiting in poll() wakes and finds the node gone
        if (!clients_.empty())
            listener = hostListener_;
        stale_.insert(stale_.end(), clients_.begin(), clients_.end());
        clients_.clear();
        unlink((emulation_.root_ + path_).c_str());
    }
    if (listener)
        listener(false);
}

void EmulatedKernelNode::replug()
{
    std::lock_guard<std::mutex> hold(mutex_);
    if (!gone_)
        return;
    createNode();
    gone_ = false;
}

std::vector<uint8_t> EmulatedKernelNode::hostBytes() const
{
    std::lock_guard<std::mutex> hold(mutex_);
    return hostBytes_;
}

std::vector<size_t> EmulatedKernelNode::writes() const
{
    std::lock_guard<std::mutex> hold(mutex_);
    return writes_;
}

}  // namespace usbemu
