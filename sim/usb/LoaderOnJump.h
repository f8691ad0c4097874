#pragma once
// What follows an i.MX boot ROM's jump on the emulated USB bus: the recovery
// loader the host put into RAM starts and enumerates as a module running its
// loader (serial number 0xDEADDEAD unless told otherwise), which takes the
// firmware through the ordinary transfer. The ROM's own function may leave
// the bus at the jump, as the chip no longer runs the ROM.
//
//   usbemu::LoaderOnJump onJump(emulation, usbemu::LoaderOnJump::DefaultLoader());
//   rom.SetJumpHook([&onJump](uint32_t address) { onJump.jumped(address); });
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "sim/ModuleConfig.h"
#include "sim/VirtualModule.h"
#include "sim/usb/UsbEmulation.h"

namespace usbemu {

class UsbModuleHost;

class LoaderOnJump {
public:
    // How long the started loader takes to enumerate.
    static constexpr unsigned DEFAULT_PAUSE_MS = 300;

    // A module running its loader from the start, serial number 0xDEADDEAD.
    static Sim::ModuleConfig DefaultLoader();

    LoaderOnJump(UsbEmulation& emulation, Sim::ModuleConfig loader, unsigned pauseMs = DEFAULT_PAUSE_MS);
    ~LoaderOnJump();
    LoaderOnJump(const LoaderOnJump&) = delete;
    LoaderOnJump& operator=(const LoaderOnJump&) = delete;

    // Run (on the emulation's thread) when the chip leaves its ROM; schedule
    // an unplug here, never unplug at once.
    void setLeaveRom(std::function<void()> leaveRom);
    // The ROM's jump hook: any thread; the loader appears after the pause.
    // A second jump while the loader runs changes nothing.
    void jumped(uint32_t address);
    // Events such as "jump to 0x20000400" and "loader DEADDEAD on usb".
    void setEvents(std::function<void(const std::string&)> events);

    std::vector<uint32_t> jumps() const;
    // The loader's module once it appeared, else null.
    std::shared_ptr<Sim::VirtualModule> module() const;

private:
    struct State;
    UsbEmulation& emulation_;
    std::shared_ptr<State> state_;
};

}  // namespace usbemu
