#include "sim/usb/LoaderOnJump.h"

#include <cstdio>

#include "sim/usb/UsbModuleHost.h"

namespace usbemu {

// Shared with the actions posted to the emulation's thread, which may still
// be waiting there when the LoaderOnJump goes.
struct LoaderOnJump::State {
    std::mutex mutex;
    Sim::ModuleConfig config;
    unsigned pauseMs = 0;
    bool stopped = false;
    bool started = false;
    std::vector<uint32_t> jumps;
    std::function<void()> leaveRom;
    std::function<void(const std::string&)> events;
    std::shared_ptr<Sim::VirtualModule> module;
    std::unique_ptr<UsbModuleHost> host;
};

Sim::ModuleConfig LoaderOnJump::DefaultLoader()
{
    Sim::ModuleConfig config;
    config.serialNumber = 0xDEADDEAD;
    config.startInLoader = true;
    config.transport = Sim::Transport::None;
    config.name = "Recovery loader";
    return config;
}

LoaderOnJump::LoaderOnJump(UsbEmulation& emulation, Sim::ModuleConfig loader, unsigned pauseMs)
    : emulation_(emulation), state_(std::make_shared<State>())
{
    state_->config = std::move(loader);
    state_->pauseMs = pauseMs;
}

LoaderOnJump::~LoaderOnJump()
{
    std::unique_ptr<UsbModuleHost> host;
    {
        std::lock_guard<std::mutex> hold(state_->mutex);
        state_->stopped = true;
        host = std::move(state_->host);
    }
}

void LoaderOnJump::setLeaveRom(std::function<void()> leaveRom)
{
    std::lock_guard<std::mutex> hold(state_->mutex);
    state_->leaveRom = std::move(leaveRom);
}

void LoaderOnJump::setEvents(std::function<void(const std::string&)> events)
{
    std::lock_guard<std::mutex> hold(state_->mutex);
    state_->events = std::move(events);
}

void LoaderOnJump::jumped(uint32_t address)
{
    std::shared_ptr<State> state = state_;
    std::function<void(const std::string&)> events;
    {
        std::lock_guard<std::mutex> hold(state->mutex);
        state->jumps.push_back(address);
        if (state->started)
            return;
        state->started = true;
        events = state->events;
    }
    char line[64];
    snprintf(line, sizeof line, "jump to 0x%08X", address);
    if (events)
        events(line);
    UsbEmulation* emulation = &emulation_;
    emulation_.post(0, [state] {
        std::function<void()> leaveRom;
        {
            std::lock_guard<std::mutex> hold(state->mutex);
            if (state->stopped)
                return;
            leaveRom = state->leaveRom;
        }
        if (leaveRom)
            leaveRom();
    });
    emulation_.post(state->pauseMs, [state, emulation] {
        std::lock_guard<std::mutex> hold(state->mutex);
        if (state->stopped)
            return;
        state->module = std::make_shared<Sim::VirtualModule>(state->config);
        if (state->events) {
            auto events = state->events;
            char serial[16];
            snprintf(serial, sizeof serial, "%08X", state->config.serialNumber);
            std::string prefix = std::string("module ") + serial + ": ";
            state->module->SetLogger([events, prefix](const std::string& text) { events(prefix + text); });
            events(std::string("loader ") + serial + " on usb");
        }
        state->host = std::make_unique<UsbModuleHost>(*emulation, state->module);
    });
}

std::vector<uint32_t> LoaderOnJump::jumps() const
{
    std::lock_guard<std::mutex> hold(state_->mutex);
    return state_->jumps;
}

std::shared_ptr<Sim::VirtualModule> LoaderOnJump::module() const
{
    std::lock_guard<std::mutex> hold(state_->mutex);
    return state_->module;
}

}  // namespace usbemu
