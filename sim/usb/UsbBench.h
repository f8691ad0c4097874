#pragma once
// A bench of emulated USB devices described by command-line settings, as the
// usbrun program (and tests that want the same devices) put them on the bus:
//
//   --module serial=40F5849A,usb=high --fault silent=WRITE --attach serial=0B0B0B0B
//
// Each kind of device is a BenchDeviceKind: its option starts a device, its
// refinements (options such as --fault or --attach) apply to the last device
// started, and it turns its settings into a device on a UsbEmulation. A new
// kind is one more entry in benchDeviceKinds().
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "sim/ModuleConfig.h"
#include "sim/usb/UsbEmulation.h"

namespace usbemu {

// One device as asked for on the command line.
struct BenchRequest {
    std::string kind;      // the option that started it, without "--": "module"
    std::string settings;  // its KEY=VALUE,... list
    // Refinements that followed it, in order: {"fault", "silent"}, {"attach", "serial=..."}.
    std::vector<std::pair<std::string, std::string>> refinements;
};

// Where a device's event lines (restarts, drops) and packet lines go; either may be empty.
struct BenchLog {
    std::function<void(const std::string&)> events;
    std::function<void(const std::string&)> packets;
};

// A device on the emulated bus, with whatever models and hosts it needs; its
// models stop when it is destroyed, which comes before the emulation's end.
class BenchDevice {
public:
    virtual ~BenchDevice() = default;
    // One line per thing the host can reach: "module 40F5849A usb full-speed".
    virtual std::vector<std::string> describe() const = 0;
};

// A parsed request, ready to be put on the bus.
class BenchPlan {
public:
    virtual ~BenchPlan() = default;
    virtual std::unique_ptr<BenchDevice> plug(UsbEmulation& emulation, const BenchLog& log) const = 0;
};

struct BenchDeviceKind {
    std::string option;                    // "module"
    std::vector<std::string> refinements;  // "fault", "attach"
    std::string help;                      // usage lines, each ending in '\n'
    // Checks a request; null with a message in `error` when it is wrong.
    std::function<std::unique_ptr<BenchPlan>(const BenchRequest&, std::string& error)> parse;
};

// Every kind of device the bench knows.
const std::vector<BenchDeviceKind>& benchDeviceKinds();
const BenchDeviceKind* findBenchDeviceKind(const std::string& option);

// The kinds themselves.
BenchDeviceKind moduleKind();
BenchDeviceKind sdpRomKind();  // UsbBenchSdpRom.cpp

// The devices of a command line, checked before anything is plugged in.
class UsbBench {
public:
    // Parses every request; false with a message for the first wrong one.
    bool plan(const std::vector<BenchRequest>& requests, std::string& error);
    // Puts the planned devices on the bus, in order.
    void plug(UsbEmulation& emulation, const BenchLog& log);
    // Takes them off again (the emulation must outlive this).
    void unplug() { devices_.clear(); }
    std::vector<std::string> describe() const;

private:
    std::vector<std::unique_ptr<BenchPlan>> plans_;
    std::vector<std::unique_ptr<BenchDevice>> devices_;
};

// Applies vmodule's module settings (no network keys, no usb=) to the module
// a boot ROM's jump starts; false with a message.
bool benchLoaderSettings(const std::string& settings, Sim::ModuleConfig& config, std::string& error);

// "key=value,key=value" split into pairs (keys and values trimmed); false with
// a message for an item without '='.
bool splitSettings(const std::string& list, std::vector<std::pair<std::string, std::string>>& items,
                   std::string& error);

}  // namespace usbemu
