#include "sim/usb/EmulatedKernelNode.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

#include <umockdev.h>

#include "sim/usb/UsbEmulation.h"

namespace usbemu {

struct EmulatedKernelNode::Pending {
    UMockdevIoctlClient* client;
    UMockdevIoctlData* buffer;
    bool answered = false;
    ~Pending()
    {
        g_object_unref(buffer);
        g_object_unref(client);
    }
};

EmulatedKernelNode::EmulatedKernelNode(UsbEmulation& emulation, uint32_t serialNumber, unsigned readWaitMs)
    : emulation_(emulation), readWaitMs_(readWaitMs)
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
    {
        std::lock_guard<std::mutex> hold(mutex_);
        for (auto& pending : reads_)
            if (!pending->answered) {
                umockdev_ioctl_client_complete(pending->client, 0, 0);
                pending->answered = true;
            }
    }
    umockdev_testbed_detach_ioctl(emulation_.testbed_, path_.c_str(), nullptr);
}

// Runs after the testbed and its worker thread are gone.
EmulatedKernelNode::~EmulatedKernelNode()
{
    std::lock_guard<std::mutex> hold(mutex_);
    reads_.clear();
    for (UMockdevIoctlClient* client : clients_)
        g_object_unref(client);
    for (UMockdevIoctlClient* client : stale_)
        g_object_unref(client);
    g_object_unref(handler_);
}

// The node itself is a plain file: the preload redirects its open to the
// testbed and connects the descriptor to the handler.
void EmulatedKernelNode::createNode()
{
    std::string file = emulation_.root_ + path_;
    int fd = open(file.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0666);
    if (fd < 0)
        throw std::runtime_error("usb emulation: create " + file);
    close(fd);
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

void EmulatedKernelNode::answer(Pending& pending)
{
    size_t n = std::min(inQueue_.size(), static_cast<size_t>(pending.buffer->data_len));
    std::vector<uint8_t> chunk(inQueue_.begin(), inQueue_.begin() + static_cast<long>(n));
    inQueue_.erase(inQueue_.begin(), inQueue_.begin() + static_cast<long>(n));
    if (n)
        umockdev_ioctl_data_update(pending.buffer, 0, chunk.data(), static_cast<int>(n));
    umockdev_ioctl_client_complete(pending.client, static_cast<long>(n), 0);
    pending.answered = true;
}

void EmulatedKernelNode::sendToHost(const uint8_t* data, size_t length)
{
    std::lock_guard<std::mutex> hold(mutex_);
    if (gone_)
        return;
    inQueue_.insert(inQueue_.end(), data, data + length);
    while (!reads_.empty() && !inQueue_.empty()) {
        std::shared_ptr<Pending> pending = reads_.front();
        reads_.pop_front();
        if (!pending->answered)
            answer(*pending);
    }
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
        auto pending = std::make_shared<Pending>();
        pending->client = static_cast<UMockdevIoctlClient*>(g_object_ref(client));
        pending->buffer = static_cast<UMockdevIoctlData*>(g_object_ref(umockdev_ioctl_client_get_arg(client)));
        if (!node->inQueue_.empty()) {
            node->answer(*pending);
        } else {
            // Like a driver's read with a time-out: nothing within the wait gives 0.
            node->reads_.push_back(pending);
            node->emulation_.post(node->readWaitMs_, [node, pending] {
                std::lock_guard<std::mutex> hold(node->mutex_);
                auto found = std::find(node->reads_.begin(), node->reads_.end(), pending);
                if (found != node->reads_.end())
                    node->reads_.erase(found);
                if (!pending->answered)
                    node->answer(*pending);
            });
        }
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
        for (auto& pending : reads_)
            if (!pending->answered) {
                umockdev_ioctl_client_complete(pending->client, -1, ENODEV);
                pending->answered = true;
            }
        reads_.clear();
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
