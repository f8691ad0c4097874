#include "sim/usb/UsbBench.h"

#include <algorithm>

#include "sim/Text.h"
#include "sim/usb/UsbModuleHost.h"

namespace usbemu {

namespace {

// ---- virtual modules on USB -------------------------------------------------

// Keys of a module's network transports, which mean nothing on USB.
const char* const NETWORK_KEYS[] = {"transport", "listen", "port", "discovery"};

const char* _access_name(UsbModuleHost::Access access)
{
    switch (access) {
    case UsbModuleHost::Access::Libusb:
        return "usb full-speed";
    case UsbModuleHost::Access::LibusbHighSpeed:
        return "usb high-speed";
    case UsbModuleHost::Access::KernelNode:
        return "node /dev/tessarine.";
    }
    return "?";
}

bool _parse_access(const std::string& value, UsbModuleHost::Access& access)
{
    if (value == "full")
        access = UsbModuleHost::Access::Libusb;
    else if (value == "high")
        access = UsbModuleHost::Access::LibusbHighSpeed;
    else if (value == "node")
        access = UsbModuleHost::Access::KernelNode;
    else
        return false;
    return true;
}

// Applies a module's settings; `usb` is only for the module on the bus itself
// (without `access`, noUsb says why not).
bool _configure(const std::string& settings, Sim::ModuleConfig& config, UsbModuleHost::Access* access,
                std::string& error, const char* noUsb = "an attached module is on its router's I2C bus, not on USB")
{
    std::vector<std::pair<std::string, std::string>> items;
    if (!splitSettings(settings, items, error))
        return false;
    for (const auto& [key, value] : items) {
        if (key == "usb") {
            if (!access) {
                error = std::string("usb: ") + noUsb;
                return false;
            }
            if (!_parse_access(value, *access)) {
                error = "usb=" + value + ": expected full, high or node";
                return false;
            }
            continue;
        }
        if (key == "fault") {
            error = "faults are given with their own option (--fault)";
            return false;
        }
        if (std::find(std::begin(NETWORK_KEYS), std::end(NETWORK_KEYS), key) != std::end(NETWORK_KEYS)) {
            error = key + ": a module here is on USB, not on a network or serial transport";
            return false;
        }
        if (!config.Set(key, value, error))
            return false;
    }
    config.transport = Sim::Transport::None;
    return true;
}

class ModuleDevice : public BenchDevice {
public:
    std::vector<std::shared_ptr<Sim::VirtualModule>> modules;  // the head first
    std::unique_ptr<UsbModuleHost> host;
    std::vector<std::string> lines;

    std::vector<std::string> describe() const override { return lines; }
};

class ModulePlan : public BenchPlan {
public:
    Sim::ModuleConfig head;
    UsbModuleHost::Access access = UsbModuleHost::Access::Libusb;
    std::vector<Sim::ModuleConfig> attached;

    std::unique_ptr<BenchDevice> plug(UsbEmulation& emulation, const BenchLog& log) const override
    {
        auto device = std::make_unique<ModuleDevice>();
        auto make = [&](const Sim::ModuleConfig& config) {
            auto module = std::make_shared<Sim::VirtualModule>(config);
            if (log.events) {
                std::string prefix = "module " + Sim::SerialText(config.serialNumber) + ": ";
                auto events = log.events;
                module->SetLogger([events, prefix](const std::string& line) { events(prefix + line); });
            }
            device->modules.push_back(module);
            return module;
        };
        auto router = make(head);
        std::string serial = Sim::SerialText(head.serialNumber);
        std::string where = _access_name(access);
        if (access == UsbModuleHost::Access::KernelNode)
            where += serial;
        device->lines.push_back("module " + serial + " " + where);
        for (const Sim::ModuleConfig& config : attached) {
            router->Attach(make(config));
            device->lines.push_back("module " + Sim::SerialText(config.serialNumber) + " attached " + serial + " " +
                                    std::to_string(config.moduleAddress));
        }
        device->host = std::make_unique<UsbModuleHost>(emulation, router, access);
        if (log.packets)
            device->host->setTrace(log.packets);
        return device;
    }
};

std::unique_ptr<BenchPlan> _parse_module(const BenchRequest& request, std::string& error)
{
    auto plan = std::make_unique<ModulePlan>();
    if (!_configure(request.settings, plan->head, &plan->access, error))
        return nullptr;
    Sim::ModuleConfig* last = &plan->head;
    for (const auto& [option, text] : request.refinements) {
        if (option == "fault") {
            if (!last->Set("fault", text, error))
                return nullptr;
            continue;
        }
        Sim::ModuleConfig config;
        config.moduleAddress = 4;
        if (!_configure(text, config, nullptr, error))
            return nullptr;
        if (config.moduleAddress == plan->head.moduleAddress) {
            error = "module " + Sim::SerialText(config.serialNumber) + " has its router's address";
            return nullptr;
        }
        plan->attached.push_back(config);
        last = &plan->attached.back();
    }
    return plan;
}

}  // namespace

bool benchLoaderSettings(const std::string& settings, Sim::ModuleConfig& config, std::string& error)
{
    return _configure(settings, config, nullptr, error, "the started loader enumerates at full speed");
}

bool splitSettings(const std::string& list, std::vector<std::pair<std::string, std::string>>& items, std::string& error)
{
    size_t start = 0;
    while (start <= list.size()) {
        size_t comma = std::min(list.find(',', start), list.size());
        std::string item = Sim::TrimBlanks(list.substr(start, comma - start));
        start = comma + 1;
        if (item.empty())
            continue;
        size_t eq = item.find('=');
        if (eq == std::string::npos || eq == 0) {
            error = "setting '" + item + "' is not key=value";
            return false;
        }
        items.emplace_back(Sim::TrimBlanks(item.substr(0, eq)), Sim::TrimBlanks(item.substr(eq + 1)));
    }
    return true;
}

BenchDeviceKind moduleKind()
{
    BenchDeviceKind kind;
    kind.option = "module";
    kind.refinements = {"fault", "attach"};
    kind.help =
        "  --module LIST   a virtual module on USB (settings below), plus usb=full|high|node:\n"
        "                  full or high speed through libusb (the default: full), or with the\n"
        "                  kernel driver bound: on the bus with its descriptors, its bytes\n"
        "                  through the driver's node /dev/tessarine.SERIAL\n"
        "  --attach LIST   a module on the I2C bus of the last --module (a routing module)\n"
        "  --fault SPEC    a fault of the last --module or --attach (faults below)\n";
    kind.parse = _parse_module;
    return kind;
}

const std::vector<BenchDeviceKind>& benchDeviceKinds()
{
    static const std::vector<BenchDeviceKind> kinds = {moduleKind(), sdpRomKind()};
    return kinds;
}

const BenchDeviceKind* findBenchDeviceKind(const std::string& option)
{
    for (const BenchDeviceKind& kind : benchDeviceKinds())
        if (kind.option == option)
            return &kind;
    return nullptr;
}

bool UsbBench::plan(const std::vector<BenchRequest>& requests, std::string& error)
{
    plans_.clear();
    for (const BenchRequest& request : requests) {
        const BenchDeviceKind* kind = findBenchDeviceKind(request.kind);
        if (!kind) {
            error = "unknown device kind " + request.kind;
            return false;
        }
        std::unique_ptr<BenchPlan> plan = kind->parse(request, error);
        if (!plan) {
            error = "--" + request.kind + " " + request.settings + ": " + error;
            return false;
        }
        plans_.push_back(std::move(plan));
    }
    return true;
}

void UsbBench::plug(UsbEmulation& emulation, const BenchLog& log)
{
    for (const auto& plan : plans_)
        devices_.push_back(plan->plug(emulation, log));
}

std::vector<std::string> UsbBench::describe() const
{
    std::vector<std::string> lines;
    for (const auto& device : devices_)
        for (const std::string& line : device->describe())
            lines.push_back(line);
    return lines;
}

}  // namespace usbemu
