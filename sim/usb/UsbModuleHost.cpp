#include "sim/usb/UsbModuleHost.h"

namespace usbemu {

namespace {

// The node exists before the device enumerates, so that a host that finds the
// device opens the node, as it does when the driver is bound.
DeviceSide& _make_side(UsbEmulation& emulation, const Sim::VirtualModule& module, UsbModuleHost::Access access,
                       EmulatedUsbDevice** device)
{
    const Sim::ModuleConfig& config = module.Config();
    EmulatedKernelNode* node = nullptr;
    if (access == UsbModuleHost::Access::KernelNode)
        node = &emulation.addKernelNode(config.serialNumber);
    *device = &emulation.addModule(config.serialNumber, config.model, access == UsbModuleHost::Access::LibusbHighSpeed);
    if (!node)
        return **device;
    (*device)->holdInterface(true);
    return *node;
}

}  // namespace

UsbModuleHost::UsbModuleHost(UsbEmulation& emulation, std::shared_ptr<Sim::VirtualModule> module, Access access)
    : emulation_(emulation),
      module_(std::move(module)),
      side_(_make_side(emulation_, *module_, access, &device_)),
      link_(module_)
{
    side_.setReceiver([this](const uint8_t* data, size_t length) { hostBytes(data, length); });
    side_.setHostListener([this](bool connected) { hostChanged(connected); });
    thread_ = std::thread([this] { run(); });
}

UsbModuleHost::~UsbModuleHost()
{
    {
        std::lock_guard<std::mutex> hold(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
    // Plug actions already handed to the emulation's thread finish first.
    std::unique_lock<std::mutex> hold(mutex_);
    wake_.wait(hold, [this] { return posted_ == 0; });
    hold.unlock();
    side_.setReceiver(nullptr);
    side_.setHostListener(nullptr);
}

void UsbModuleHost::later(unsigned delayMs, std::function<void()> action)
{
    {
        std::lock_guard<std::mutex> hold(mutex_);
        ++posted_;
    }
    emulation_.post(delayMs, [this, action = std::move(action)] {
        action();
        std::lock_guard<std::mutex> hold(mutex_);
        --posted_;
        wake_.notify_all();
    });
}

void UsbModuleHost::unplug()
{
    if (&side_ != device_)
        device_->unplug();
    side_.unplug();
}

void UsbModuleHost::replug()
{
    side_.replug();
    if (&side_ != device_)
        device_->replug();
}

unsigned UsbModuleHost::replugs() const
{
    std::lock_guard<std::mutex> hold(mutex_);
    return replugs_;
}

void UsbModuleHost::hostChanged(bool connected)
{
    {
        std::lock_guard<std::mutex> hold(linkMutex_);
        if (connected)
            link_.Connected(Sim::Clock::now());
        else
            link_.Disconnected();
    }
    wake_.notify_all();
}

void UsbModuleHost::hostBytes(const uint8_t* data, size_t length)
{
    Sim::ModuleByteLink::Output output;
    {
        std::lock_guard<std::mutex> hold(linkMutex_);
        output = link_.FromHost(data, length, Sim::Clock::now());
    }
    react(output);
    wake_.notify_all();  // a reply may have armed the heartbeat
}

void UsbModuleHost::react(const Sim::ModuleByteLink::Output& output)
{
    if (!output.bytes.empty())
        side_.sendToHost(output.bytes);
    if (output.action == Sim::LinkAction::None)
        return;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        if (away_)
            return;
        away_ = true;
    }
    later(UNPLUG_DELAY_MS, [this] { unplug(); });
}

// Heartbeats and restarts run on the module's clock; a module that is online
// again after being away is plugged back in.
void UsbModuleHost::run()
{
    std::unique_lock<std::mutex> hold(mutex_);
    while (!stopping_) {
        Sim::Clock::time_point now = Sim::Clock::now();
        Sim::Clock::time_point next = std::min(module_->NextDeadline(), now + std::chrono::milliseconds(50));
        wake_.wait_until(hold, next);
        if (stopping_)
            break;
        hold.unlock();
        now = Sim::Clock::now();
        Sim::ModuleByteLink::Output output;
        {
            std::lock_guard<std::mutex> link(linkMutex_);
            output = link_.Tick(now);
        }
        bool back = false;
        {
            std::lock_guard<std::mutex> state(mutex_);
            back = away_ && !side_.plugged() && module_->Online(now);
            if (back)
                away_ = false;
        }
        if (back)
            later(0, [this] {
                replug();
                std::lock_guard<std::mutex> state(mutex_);
                ++replugs_;
            });
        else if (!output.bytes.empty() || output.action != Sim::LinkAction::None)
            react(output);
        hold.lock();
    }
}

}  // namespace usbemu
