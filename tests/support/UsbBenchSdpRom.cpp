// The i.MX boot ROM's HID function as a bench device (usbrun --sdp-rom).
#include <cstdio>
#include <cstdlib>

#include "support/EmulatedHidRom.h"
#include "support/UsbBench.h"

namespace usbemu {

namespace {

class SdpRomDevice : public BenchDevice {
public:
    std::unique_ptr<EmulatedHidRom> rom;
    std::vector<std::string> describe() const override { return {"sdp-rom 1FC9:0130 hid"}; }
};

class SdpRomPlan : public BenchPlan {
public:
    Sim::SdpRomConfig config;

    std::unique_ptr<BenchDevice> plug(UsbEmulation& emulation, const BenchLog& log) const override
    {
        auto device = std::make_unique<SdpRomDevice>();
        device->rom = std::make_unique<EmulatedHidRom>(emulation, config);
        if (log.events) {
            auto events = log.events;
            device->rom->rom().SetJumpHook([events](uint32_t address) {
                char line[48];
                snprintf(line, sizeof line, "sdp-rom: jump to 0x%08X", address);
                events(line);
            });
        }
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
    kind.help =
        "  --sdp-rom LIST  an i.MX boot ROM's HID function 1FC9:0130 (Serial Download Protocol);\n"
        "                  fingerprint=LOW:HIGH (hex words of 0x401F4410 and 0x401F4420),\n"
        "                  fault=silent|garbage|status-only|extra-bytes[=N]|write-incomplete\n";
    kind.parse = _parseSdpRom;
    return kind;
}

}  // namespace usbemu
