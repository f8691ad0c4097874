#include "sim/VirtualModule.h"

#include <algorithm>

namespace Sim {

namespace {
// How many packets, and for how long, a router keeps for restarting modules on its bus.
constexpr size_t kHeldMax = 64;
constexpr int kHeldMs = 2000;
}  // namespace

VirtualModule::VirtualModule(ModuleConfig config)
    : _config(std::move(config)),
      _flash(_config.flashDir, _config.serialNumber),
      _upgrade(_config, _faults, _flash),
      _version(_config.version),
      _build(_config.build),
      _name(_config.name),
      _routerAddress(_config.routerAddress),
      _heartbeatMs(_config.heartbeatMs),
      _bootTime(Clock::now())
{
    for (const Fault& f : _config.faults)
        _faults.Add(f);
    _factory_power_settings();
    _loaderRunning = _config.startInLoader;
}

void VirtualModule::Attach(std::shared_ptr<VirtualModule> module)
{
    std::lock_guard lock(_mutex);
    {
        std::lock_guard inner(module->_mutex);
        module->_routerAddress = _config.moduleAddress;
    }
    _attached.push_back(std::move(module));
}

std::vector<std::shared_ptr<VirtualModule>> VirtualModule::Attached() const
{
    std::lock_guard lock(_mutex);
    return _attached;
}

void VirtualModule::AddFault(const Fault& fault)
{
    std::lock_guard lock(_mutex);
    _faults.Add(fault);
}

void VirtualModule::ClearFaults()
{
    std::lock_guard lock(_mutex);
    _faults.Clear();
}

void VirtualModule::SetLogger(std::function<void(const std::string&)> logger)
{
    std::lock_guard lock(_mutex);
    _logger = std::move(logger);
}

void VirtualModule::_log(const std::string& line)
{
    if (!_logger)
        return;
    char head[16];
    snprintf(head, sizeof head, "%08X: ", _config.serialNumber);
    _logger(head + line);
}

void VirtualModule::HostConnected(Clock::time_point now)
{
    std::lock_guard lock(_mutex);
    _complete_restart_if_due(now);
    _hostConnected = true;
    ++_stats.connections;
    _bytesSinceDrop = 0;
    _hb = Heartbeat{};
    _byteStrings.clear();
    _upgrade.ResetLink();
}

void VirtualModule::HostDisconnected()
{
    std::lock_guard lock(_mutex);
    _hostConnected = false;
    _hb = Heartbeat{};
    _byteStrings.clear();
    _upgrade.ResetLink();
}

bool VirtualModule::Online(Clock::time_point now)
{
    std::lock_guard lock(_mutex);
    _complete_restart_if_due(now);
    return _online(now);
}

void VirtualModule::_go_offline(Clock::time_point now, unsigned pauseMs, bool restart, Firmware into)
{
    _offlineUntil = now + std::chrono::milliseconds(pauseMs);
    if (restart) {
        _restartPending = true;
        _restartInto = into;
    }
    _hb = Heartbeat{};
    _byteStrings.clear();
    _upgrade.ResetLink();
    _held.clear();
}

void VirtualModule::_complete_restart_if_due(Clock::time_point now)
{
    if (!_restartPending || now < _offlineUntil)
        return;
    _restartPending = false;
    _loaderRunning = _restartInto == Firmware::Loader;
    _bootTime = now;
    _routeToMe = 0;
    if (!_loaderRunning) {
        if (_upgrade.FlashWritten()) {
            if (_config.newVersion)
                _version = _config.newVersion;
            if (_config.newBuild)
                _build = _config.newBuild;
        }
        _upgrade.Booted();
    }
    char line[96];
    snprintf(line, sizeof line, "running %s (version %08X, build %u)",
             _loaderRunning ? "the loader" : "the application", _version, _build);
    _log(line);
}

// A drop or restart asked for by the reply takes effect once it is sent.
void VirtualModule::_apply(Reaction& out, Clock::time_point now)
{
    if (out.action == LinkAction::Drop) {
        ++_stats.drops;
        _log("dropping the link");
        _go_offline(now, _config.dropPauseMs, false, Firmware::Application);
    } else if (out.action == LinkAction::Restart) {
        ++_stats.restarts;
        bool loader = out.restartInto == Firmware::Loader;
        unsigned pause = loader ? _config.loadPauseMs : _config.rebootPauseMs;
        _log(std::string("restarting into the ") + (loader ? "loader" : "application") + " after " +
             std::to_string(pause) + " ms");
        _go_offline(now, pause, true, out.restartInto);
    }
}

Reaction VirtualModule::Handle(const Packet& in, Clock::time_point now)
{
    std::lock_guard lock(_mutex);
    Reaction out;
    _complete_restart_if_due(now);
    if (!_online(now))
        return out;  // restarting: the packet is lost
    ++_stats.packetsReceived;
    _bytesSinceDrop += 2 + in.payload.size();
    bool reached = false;
    if (_faults.FireByteCount(_bytesSinceDrop, reached)) {
        _log("fault: dropping the link after " + std::to_string(_bytesSinceDrop) + " bytes");
        out.action = LinkAction::Drop;
    } else if (!_faults.Fire(FaultKind::Silent)) {
        _dispatch(in, now, out);
    }
    if (reached)
        _bytesSinceDrop = 0;
    _apply(out, now);
    return out;
}

void VirtualModule::_dispatch(const Packet& in, Clock::time_point now, Reaction& out)
{
    if (in.address == kMagicAddress) {
        if (in.payload.empty()) {
            ++_stats.magicAnswered;
            out.packets.push_back(Packet(_config.moduleAddress, {}));
        }
        return;
    }
    if (in.address == kRouteAddress) {
        if (in.payload.size() == 1)
            _forceRoute = in.payload[0];
        return;
    }
    if (in.address == _config.moduleAddress) {
        if (in.payload.size() == 2 && in.payload[0] == kCmdHeartbeat)
            return _heartbeat_answer(in);
        _arm_heartbeat(now);
        if (in.payload.empty())
            return;
        if (_faults.Fire(FaultKind::Busy))
            return _busy(in, out);
        return _command(in, now, out);
    }
    for (auto& module : _attached) {
        if (module->ModuleAddress() != in.address)
            continue;
        // A restarting module does not take the packet off the bus yet: the
        // router keeps it and delivers it once the module is back.
        if (!module->Online(now)) {
            if (_held.size() < kHeldMax)
                _held.push_back(Held{in, now});
            return;
        }
        // The module on the bus answers over this module's link; what happens
        // to it (a restart) stays its own business.
        Reaction theirs = module->Handle(in, now);
        for (auto& p : theirs.packets)
            out.packets.push_back(std::move(p));
        return;
    }
}

void VirtualModule::_deliver_held(Clock::time_point now, Reaction& out)
{
    std::vector<Held> waiting;
    for (Held& h : _held) {
        if (now - h.since > std::chrono::milliseconds(kHeldMs))
            continue;  // given up on
        std::shared_ptr<VirtualModule> target;
        for (auto& module : _attached)
            if (module->ModuleAddress() == h.packet.address)
                target = module;
        if (!target)
            continue;
        if (!target->Online(now)) {
            waiting.push_back(std::move(h));
            continue;
        }
        Reaction theirs = target->Handle(h.packet, now);
        for (auto& p : theirs.packets)
            out.packets.push_back(std::move(p));
    }
    _held = std::move(waiting);
}

void VirtualModule::_command(const Packet& in, Clock::time_point now, Reaction& out)
{
    switch (in.payload[0]) {
    case kCmdSystem:
        return _system(in, now, out);
    case kCmdI2C:
        return _i2c(in, now, out);
    case kCmdDebug: {
        Packet echo(_config.moduleAddress, in.payload);
        out.packets.push_back(std::move(echo));
        return;
    }
    case kCmdModuleInfo:
        return _module_info(in, out);
    case kCmdStore:
        return _store(in, out);
    case kCmdUpgrade:
        return _upgrade.Handle(in, _loaderRunning, out);
    default:
        break;
    }
    // Raw commands this module does not know go unanswered; UEI requests to an
    // entity it does not have are refused.
    static constexpr uint8_t raw[] = {0, 1, 2, 4, 8, 9, 23, 24, 73, 94, 95, 173, 175};
    if (std::find(std::begin(raw), std::end(raw), in.payload[0]) != std::end(raw))
        return;
    Uei::Request request;
    if (Uei::Parse(in, request))
        out.packets.push_back(Uei::Error(_config.moduleAddress, request, aErrInvalidEntity));
}

void VirtualModule::_busy(const Packet& in, Reaction& out)
{
    uint8_t command = in.payload[0];
    if (command == kCmdUpgrade)
        return _upgrade.HandleBusy(in, out);
    if (command == kCmdI2C) {
        if (in.payload.size() >= 3)
            out.packets.push_back(Packet(_config.moduleAddress, {kCmdI2C, in.payload[1], in.payload[2], 0,
                                                                 static_cast<uint8_t>(0x80 | aErrBusy)}));
        return;
    }
    Uei::Request request;
    if (command == kCmdModuleInfo || command == kCmdDebug || !Uei::Parse(in, request))
        return;
    bool moreChunks = request.set && !request.value.empty() && (request.value.back() & 0x80) && request.option == 32;
    if (!moreChunks)
        out.packets.push_back(Uei::Error(_config.moduleAddress, request, aErrBusy));
}

void VirtualModule::_heartbeat_answer(const Packet& in)
{
    if (_hb.awaiting && in.payload[1] == static_cast<uint8_t>(_hb.value + 2)) {
        ++_stats.heartbeatsAnswered;
        _hb.awaiting = false;
    } else {
        ++_stats.heartbeatAnswersWrong;
    }
}

void VirtualModule::_arm_heartbeat(Clock::time_point now)
{
    if (_hb.armed || !_hostConnected)
        return;
    _hb.armed = true;
    _hb.next = now + std::chrono::milliseconds(_heartbeatMs);
}

void VirtualModule::_poll_heartbeat(Clock::time_point now, Reaction& out)
{
    if (!_hostConnected || !_hb.armed || _heartbeatMs == 0 || !_online(now) || now < _hb.next)
        return;
    if (_hb.awaiting)
        ++_stats.heartbeatsMissed;
    _hb.value = static_cast<uint8_t>(_hb.sent & 1);
    out.packets.push_back(Packet(_config.moduleAddress, {kCmdHeartbeat, _hb.value}));
    _hb.awaiting = true;
    ++_hb.sent;
    ++_stats.heartbeatsSent;
    _hb.next = now + std::chrono::milliseconds(_heartbeatMs);
}

Reaction VirtualModule::Poll(Clock::time_point now)
{
    std::lock_guard lock(_mutex);
    Reaction out;
    _complete_restart_if_due(now);
    _poll_heartbeat(now, out);
    for (auto& module : _attached)
        module->Poll(now);
    if (!_held.empty() && _online(now))
        _deliver_held(now, out);
    return out;
}

Clock::time_point VirtualModule::NextDeadline() const
{
    std::lock_guard lock(_mutex);
    Clock::time_point next = Clock::time_point::max();
    if (_restartPending || _offlineUntil > Clock::now())
        next = std::min(next, _offlineUntil);
    if (_hostConnected && _hb.armed && _heartbeatMs)
        next = std::min(next, _hb.next);
    for (const auto& module : _attached)
        next = std::min(next, module->NextDeadline());
    if (!_held.empty())
        next = std::min(next, _held.front().since + std::chrono::milliseconds(kHeldMs));
    return next;
}

ModuleStats VirtualModule::Stats() const
{
    std::lock_guard lock(_mutex);
    ModuleStats s = _stats;
    s.forceRoute = _forceRoute;
    s.routeToMe = _routeToMe;
    s.faultsFired = _faults.FiredCount();
    s.loaderRunning = _loaderRunning;
    s.version = _version;
    s.build = _build;
    s.name = _name;
    s.upgrade = _upgrade.Counters();
    return s;
}

std::map<uint32_t, std::vector<uint8_t>> VirtualModule::FlashImages() const
{
    std::lock_guard lock(_mutex);
    return _flash.Images();
}

std::string VirtualModule::FlashPath(uint32_t address) const
{
    std::lock_guard lock(_mutex);
    return _flash.PathFor(address);
}

}  // namespace Sim
