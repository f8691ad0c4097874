// The i.MX boot ROM's HID function as a bench device (usbrun --sdp-rom).
#include <cstdio>
#include <cstdlib>

#include "sim/usb/EmulatedHidRom.h"
#include "sim/usb/LoaderOnJump.h"
#include "sim/usb/UsbBench.h"

namespace usbemu {

namespace {

// The ROM, and the recovery loader that its jump starts: the ROM's function
// leaves the bus and the loader enumerates as a module running its loader.
class SdpRomDevice : public BenchDevice {
public:
    std::unique_ptr<LoaderOnJump> onJump;  // outlives the ROM's hook
    std::unique_ptr<EmulatedHidRom> rom;
    std::vector<std::string> describe() const override { return {"sdp-rom 1FC9:0130 hid"}; }
};

class SdpRomPlan : public BenchPlan {
public:
    Sim::SdpRomConfig config;
    Sim::ModuleConfig loader = LoaderOnJump::DefaultLoader();

    std::unique_ptr<BenchDevice> plug(UsbEmulation& emulation, const BenchLog& log) const override
    {
        auto device = std::make_unique<SdpRomDevice>();
        device->onJump = std::make_unique<LoaderOnJump>(emulation, loader);
        device->rom = std::make_unique<EmulatedHidRom>(emulation, config);
        if (log.events) {
            auto events = log.events;
            device->onJump->setEvents([events](const std::string& line) { events("sdp-rom: " + line); });
        }
        EmulatedUsbDevice* function = &device->rom->device();
        device->onJump->setLeaveRom([function] { function->unplug(); });
        LoaderOnJump* onJump = device->onJump.get();
        device->rom->rom().SetJumpHook([onJump](uint32_t address) { onJump->jumped(address); });
        return device;
    }
};

bool _parseWord(const std::string& text, uint32_t& word)
{
    char* end = nullptr;
    unsigned long value = strtoul(text.c_str(), &end, 16);
    if (text.empty() || *end || value > 0xFFFFFFFFul)
        return false;
    word = static_cast<uint32_t>(value);
    return true;
}

std::unique_ptr<BenchPlan> _parseSdpRom(const BenchRequest& request, std::string& error)
{
    auto plan = std::make_unique<SdpRomPlan>();
    for (const auto& [option, text] : request.refinements)
        if (option == "on-jump" && !benchLoaderSettings(text, plan->loader, error))
            return nullptr;
    std::vector<std::pair<std::string, std::string>> items;
    if (!splitSettings(request.settings, items, error))
        return nullptr;
    for (const auto& [key, value] : items) {
        if (key == "fingerprint") {
            size_t colon = value.find(':');
            if (colon == std::string::npos || !_parseWord(value.substr(0, colon), plan->config.fingerprintLow) ||
                !_parseWord(value.substr(colon + 1), plan->config.fingerprintHigh)) {
                error = "fingerprint=" + value + ": expected LOW:HIGH in hex";
                return nullptr;
            }
        } else if (key == "fault") {
            if (!plan->config.SetFault(value, error))
                return nullptr;
        } else {
            error = "unknown key " + key + " (fingerprint, fault)";
            return nullptr;
        }
    }
    return plan;
}

}  // namespace

BenchDeviceKind sdpRomKind()
{
    BenchDeviceKind kind;
    kind.option = "sdp-rom";
    kind.refinements = {"on-jump"};
    kind.help =
        "  --sdp-rom LIST  an i.MX boot ROM's HID function 1FC9:0130 (Serial Download Protocol);\n"
        "                  fingerprint=LOW:HIGH (hex words of 0x401F4410 and 0x401F4420),\n"
        "                  fault=silent|garbage|status-only|extra-bytes[=N]|write-incomplete;\n"
        "                  its jump leaves the bus to the recovery loader: a module DEADDEAD\n"
        "                  running its loader, after 300 ms\n"
        "  --on-jump LIST  the settings of that loader's module (module settings below, e.g.\n"
        "                  identifier=W0:W1:W2:W3,new-build=N,flash-dir=DIR)\n";
    kind.parse = _parseSdpRom;
    return kind;
}

}  // namespace usbemu
