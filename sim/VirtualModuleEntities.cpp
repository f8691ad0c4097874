// The entities a virtual module answers: system (3), I2C (8), module
// description (73) and store (92). The upgrade entity is UpgradeLoader's.
#include <algorithm>

#include "sim/VirtualModule.h"

namespace Sim {

namespace {

struct SystemOption {
    uint8_t option;
    Uei::Type type;
    bool get;
    bool set;  // for a void option: can be called
};

using T = Uei::Type;
constexpr SystemOption kSystemOptions[] = {
    {1, T::Byte, true, false},   // module address
    {2, T::Byte, true, true},    // router address
    {3, T::Byte, true, true},    // heartbeat interval, 100 ms units
    {4, T::Byte, true, true},    // LED
    {6, T::Byte, true, true},    // boot slot
    {7, T::Int, true, false},    // packed firmware version
    {8, T::Byte, true, false},   // model
    {9, T::Int, true, false},    // serial number
    {10, T::Void, false, true},  // save
    {11, T::Void, false, true},  // reset
    {12, T::Int, true, false},   // input voltage, microvolts
    {13, T::Byte, true, false},  // hardware address offset
    {14, T::Byte, true, false},  // base address
    {15, T::Byte, true, true},   // software address offset
    {16, T::Byte, true, false},  // router address setting
    {20, T::Byte, true, true},   // route to me
    {21, T::Int, true, false},   // input current, microamperes
    {22, T::Int, true, false},   // uptime, minutes
    {23, T::Int, true, false},   // maximum temperature, millidegrees
    {24, T::Void, false, true},  // log events
    {25, T::Int, true, false},   // unregulated voltage, microvolts
    {26, T::Int, true, false},   // unregulated current, microamperes (negative: flowing back)
    {27, T::Int, true, false},   // temperature, millidegrees
    {28, T::Int, true, false},   // minimum temperature, millidegrees
    {29, T::Byte, true, false},  // input power source
    {30, T::Byte, true, true},   // input power behavior
    {31, T::Bytes, true, true},  // input power behavior configuration, 32-bit words
    {32, T::Bytes, true, true},  // name
    {33, T::Int, true, false},   // power limit in force, milliwatts
    {34, T::Int, true, true},    // highest power limit, milliwatts
    {35, T::Int, true, false},   // power limit state
    {37, T::Void, false, true},  // factory defaults
    {38, T::Byte, true, true},   // link interface
    {39, T::Int, true, false},   // chip identifier word, by subindex 0..3
    {40, T::Int, true, false},   // hardware version
    {41, T::Int, true, false},   // errors
    {42, T::Byte, true, true},   // LED brightness limit
    {43, T::Int, true, false},   // build number
    {45, T::Int, true, false},   // protocol features
};

const SystemOption* _system_option(uint8_t option)
{
    for (const auto& o : kSystemOptions)
        if (o.option == option)
            return &o;
    return nullptr;
}

constexpr size_t kStringMax = 32;  // the longest name or power behavior configuration
constexpr uint8_t kOptionPowerBehaviorConfig = 31;
constexpr uint8_t kOptionName = 32;
constexpr uint8_t kOptionPowerLimitMax = 34;
constexpr int32_t kUnregulatedCurrent = -150000;
constexpr uint8_t kOptionIdentifier = 39;

}  // namespace

void VirtualModule::_system(const Packet& in, Clock::time_point now, Reaction& out)
{
    Uei::Request r;
    if (!Uei::Parse(in, r))
        return;
    const uint8_t address = _config.moduleAddress;
    const SystemOption* info = _system_option(r.option);
    aErr err = aErrNone;
    if (r.index != 0)
        err = aErrIndexRange;
    else if (!info)
        err = aErrInvalidOption;
    else if (r.set && !info->set)
        err = aErrPermission;
    else if (!r.set && !info->get)
        err = aErrMode;
    if (err) {
        bool moreChunks = r.set && info && info->type == T::Bytes && !r.value.empty() && (r.value.back() & 0x80);
        if (!moreChunks)
            out.packets.push_back(Uei::Error(address, r, err));
        return;
    }
    err = r.set ? _system_set(r, now, out) : _system_get(r, now, out);
    if (err)
        out.packets.push_back(Uei::Error(address, r, err));
}

aErr VirtualModule::_system_get(const Uei::Request& r, Clock::time_point now, Reaction& out)
{
    const uint8_t a = _config.moduleAddress;
    auto value = [&](T type, uint32_t v) {
        out.packets.push_back(Uei::Value(a, r, type, v));
        return aErrNone;
    };
    switch (r.option) {
    case 1:
        return value(T::Byte, a);
    case 2:
        return value(T::Byte, _routerAddress);
    case 3:
        return value(T::Byte, _heartbeatMs / 100);
    case 4:
        return value(T::Byte, _led);
    case 6:
        return value(T::Byte, _bootSlot);
    case 7:
        return value(T::Int, _version);
    case 8:
        return value(T::Byte, _config.model);
    case 9:
        return value(T::Int, _config.serialNumber);
    case 12:
        return value(T::Int, 5000000);
    case 13:
        return value(T::Byte, 0);
    case 14:
        return value(T::Byte, a);
    case 15:
        return value(T::Byte, _softwareOffset);
    case 16:
        return value(T::Byte, _routerAddress);
    case 20:
        return value(T::Byte, _routeToMe);
    case 21:
        return value(T::Int, 250000);
    case 22:
        return value(T::Int,
                     static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::minutes>(now - _bootTime).count()));
    case 23:
        return value(T::Int, 45000);
    case 25:
        return value(T::Int, 12000000);
    case 26:
        return value(T::Int, static_cast<uint32_t>(kUnregulatedCurrent));
    case 27:
        return value(T::Int, 35000);
    case 28:
        return value(T::Int, 20000);
    case 29:
        return value(T::Byte, 0);
    case 30:
    case 38:
    case 42:
        return value(T::Byte, _powerSettings.at(r.option));
    case kOptionPowerLimitMax:
        return value(T::Int, _powerSettings.at(r.option));
    case 33:
        return value(T::Int, _powerSettings.at(kOptionPowerLimitMax));
    case 35:
        return value(T::Int, 0);
    case kOptionPowerBehaviorConfig:
    case kOptionName: {
        std::vector<uint8_t> bytes =
            r.option == kOptionName ? std::vector<uint8_t>(_name.begin(), _name.end()) : _powerBehaviorConfig;
        for (auto& p : Uei::Bytes(a, r, bytes))
            out.packets.push_back(std::move(p));
        return aErrNone;
    }
    case kOptionIdentifier: {
        uint8_t subindex = r.value.empty() ? 0 : r.value[0];
        if (subindex > 3)
            return aErrIndexRange;
        return value(T::Int, _config.identifier[subindex]);
    }
    case 40:
        return value(T::Int, _config.hardwareVersion);
    case 41:
        return value(T::Int, 0);
    case 43:
        return value(T::Int, _build);
    case 45:
        return value(T::Int, _config.protocolFeatures);
    default:
        return aErrInvalidOption;
    }
}

aErr VirtualModule::_system_set(const Uei::Request& r, Clock::time_point now, Reaction& out)
{
    const uint8_t a = _config.moduleAddress;
    const SystemOption* info = _system_option(r.option);
    if (info->type == T::Bytes) {
        Uei::ByteStringReceiver& receiver = _byteStrings[r.option];
        switch (receiver.Add(r.value)) {
        case Uei::ByteStringReceiver::Result::More:
        case Uei::ByteStringReceiver::Result::Ignored:
            return aErrNone;
        case Uei::ByteStringReceiver::Result::Error:
            return aErrPacket;
        case Uei::ByteStringReceiver::Result::Complete:
            break;
        }
        const auto& data = receiver.Data();
        if (data.size() > kStringMax || (r.option == kOptionPowerBehaviorConfig && data.size() % 4))
            return aErrSize;
        if (r.option == kOptionName)
            _name.assign(data.begin(), data.end());
        else
            _powerBehaviorConfig = data;
        out.packets.push_back(Uei::Ack(a, r));
        return aErrNone;
    }
    if (r.value.size() != static_cast<size_t>(info->type))
        return aErrSize;
    uint8_t byte = r.value.empty() ? 0 : r.value[0];
    switch (r.option) {
    case 2:
        _routerAddress = byte;
        break;
    case 3:
        _heartbeatMs = byte * 100u;
        if (_hb.armed)
            _hb.next = now + std::chrono::milliseconds(_heartbeatMs);
        break;
    case 4:
        _led = byte;
        break;
    case 6:
        if (byte > 1)
            return aErrRange;
        _bootSlot = byte;
        break;
    case 15:
        _softwareOffset = byte;
        break;
    case 20:
        if (byte > 1)
            return aErrRange;
        _routeToMe = byte;
        break;
    case 30:
    case 38:
    case 42:
        _powerSettings[r.option] = byte;
        break;
    case kOptionPowerLimitMax:
        _powerSettings[r.option] = GetBE(r.value.data(), 4);
        break;
    case 10:
    case 24:
        break;
    case 11:
        out.packets.push_back(Uei::Ack(a, r));
        out.action = LinkAction::Restart;
        out.restartInto = Firmware::Application;
        return aErrNone;
    case 37:
        _name = _config.name;
        _led = 0;
        _bootSlot = 0;
        _softwareOffset = 0;
        _heartbeatMs = _config.heartbeatMs;
        _factory_power_settings();
        break;
    default:
        return aErrInvalidOption;
    }
    out.packets.push_back(Uei::Ack(a, r));
    return aErrNone;
}

void VirtualModule::_factory_power_settings()
{
    _powerSettings = {{30, 0}, {kOptionPowerLimitMax, 20000}, {38, 0}, {42, 255}};
    _powerBehaviorConfig.clear();
}

// Store commands save, reset or load one entity's settings: acknowledged.
void VirtualModule::_store(const Packet& in, Reaction& out)
{
    Uei::Request r;
    if (!Uei::Parse(in, r))
        return;
    aErr err = aErrNone;
    if (r.index != 0)
        err = aErrIndexRange;
    else if (r.option > 2)
        err = aErrInvalidOption;
    else if (!r.set)
        err = aErrMode;
    else if (r.value.size() != 4)
        err = aErrSize;
    out.packets.push_back(err ? Uei::Error(_config.moduleAddress, r, err) : Uei::Ack(_config.moduleAddress, r));
}

aErr VirtualModule::_has_uei(uint8_t command, uint8_t option, uint8_t index, uint8_t flags) const
{
    bool wantGet = flags & Uei::kGet, wantSet = flags & Uei::kSet;
    switch (command) {
    case kCmdSystem: {
        if (index != 0)
            return aErrIndexRange;
        const SystemOption* info = _system_option(option);
        if (!info)
            return aErrInvalidOption;
        if ((wantGet && !info->get) || (wantSet && !info->set))
            return aErrMode;
        return aErrNone;
    }
    case kCmdUpgrade:
        if (index != 0)
            return aErrIndexRange;
        if (option != kUpgradeDataOption || !_config.ueiData)
            return aErrInvalidOption;
        return wantGet ? aErrMode : aErrNone;
    case kCmdStore:
        if (index != 0)
            return aErrIndexRange;
        if (option > 2)
            return aErrInvalidOption;
        return wantGet ? aErrMode : aErrNone;
    default:
        return aErrInvalidEntity;
    }
}

void VirtualModule::_module_info(const Packet& in, Reaction& out)
{
    const auto& p = in.payload;
    const uint8_t a = _config.moduleAddress;
    if (p.size() == 2 && p[1] == 0xFF) {
        Packet reply(a, {kCmdModuleInfo, 0xFF});
        PutBE(reply.payload, _build, 4);
        out.packets.push_back(std::move(reply));
    } else if (p.size() == 6 && p[1] == 1) {
        aErr result = _has_uei(p[2], p[3], p[4], p[5]);
        out.packets.push_back(Packet(a, {kCmdModuleInfo, 1, p[2], p[3], p[4], static_cast<uint8_t>(result)}));
    } else if (p.size() == 3 && p[1] == 4) {
        static constexpr uint8_t one[] = {kCmdSystem, kCmdI2C, kCmdStore, kCmdUpgrade};
        uint8_t quantity = std::find(std::begin(one), std::end(one), p[2]) != std::end(one) ? 1 : 0;
        out.packets.push_back(Packet(a, {kCmdModuleInfo, 4, p[2], quantity}));
    }
}

std::shared_ptr<VirtualModule> VirtualModule::_on_bus(uint8_t busAddress, Clock::time_point now)
{
    for (auto& module : _attached)
        if (module->ModuleAddress() == busAddress && module->Online(now))
            return module;
    return nullptr;
}

// The I2C bus: a two-byte write to a module's address is acknowledged when a
// module sits there; a read returns the bytes last written to that address.
void VirtualModule::_i2c(const Packet& in, Clock::time_point now, Reaction& out)
{
    const auto& p = in.payload;
    const uint8_t a = _config.moduleAddress;
    if (p.size() < 4)
        return;
    const uint8_t index = p[1], bus = p[2];
    auto status = [&](aErr err) { return static_cast<uint8_t>(err ? 0x80 | err : 0); };
    if (p.size() == 4 && bus == 1) {  // pull-up switch
        out.packets.push_back(Packet(a, {kCmdI2C, index, 1, p[3], status(index ? aErrIndexRange : aErrNone)}));
        return;
    }
    if (p.size() < 5)
        return;
    const uint8_t length = p[3];
    if (bus & 1) {  // read
        auto module = index == 0 ? _on_bus(bus & 0xFE, now) : nullptr;
        if (!module || length > 23) {
            out.packets.push_back(Packet(a, {kCmdI2C, index, bus, 0, status(index ? aErrIndexRange : aErrNotFound)}));
            return;
        }
        std::vector<uint8_t> data = _i2cRegisters[bus & 0xFE];
        data.resize(length, 0);
        Packet reply(a, {kCmdI2C, index, bus, length, 0});
        reply.payload.insert(reply.payload.end(), data.begin(), data.end());
        out.packets.push_back(std::move(reply));
        return;
    }
    aErr err = aErrNone;
    if (index != 0)
        err = aErrIndexRange;
    else if (p.size() != 5u + length)
        err = aErrSize;
    else if (!_on_bus(bus, now))
        err = aErrNotFound;
    else
        _i2cRegisters[bus].assign(p.begin() + 5, p.end());
    out.packets.push_back(Packet(a, {kCmdI2C, index, bus, 0, status(err)}));
}

}  // namespace Sim
