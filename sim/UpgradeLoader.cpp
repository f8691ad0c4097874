#include "sim/UpgradeLoader.h"

#include <numeric>

namespace Sim {

UpgradeLoader::UpgradeLoader(const ModuleConfig& config, FaultPlan& faults, FlashMemory& flash)
    : _config(config), _faults(faults), _flash(flash)
{
}

// Drop and silence take the request away before it is looked at.
bool UpgradeLoader::_step_faults(UpgradeStep step, Reaction& out)
{
    if (_faults.Fire(FaultKind::DropAtStep, step)) {
        out.action = LinkAction::Drop;
        return true;
    }
    return _faults.Fire(FaultKind::Silent, step) != nullptr;
}

void UpgradeLoader::_status(Reaction& out, uint8_t status, const std::vector<uint8_t>& extra)
{
    Packet reply(_config.moduleAddress, {kCmdUpgrade, kUpgradeStatus, status});
    reply.payload.insert(reply.payload.end(), extra.begin(), extra.end());
    out.packets.push_back(std::move(reply));
}

void UpgradeLoader::Handle(const Packet& p, bool loaderRunning, Reaction& out)
{
    if (p.payload.size() < 2)
        return;
    uint8_t sub = p.payload[1];
    if (sub == (Uei::kSet | kUpgradeDataOption))
        return _data_uei(p, loaderRunning, out);
    if (sub & (Uei::kGet | Uei::kSet)) {
        // Some other UEI request on the upgrade entity.
        Uei::Request request;
        if (Uei::Parse(p, request))
            out.packets.push_back(Uei::Error(_config.moduleAddress, request, aErrInvalidOption));
        return;
    }
    switch (sub) {
    case kUpgradeInit: {
        if (_step_faults(UpgradeStep::Init, out))
            return;
        Packet reply(_config.moduleAddress, {kCmdUpgrade, kUpgradeInit});
        PutBE(reply.payload, _config.loadBase, 4);
        out.packets.push_back(std::move(reply));
        return;
    }
    case kUpgradeData:
        return _data(p, loaderRunning, out);
    case kUpgradeLoad:
        if (_step_faults(UpgradeStep::Load, out))
            return;
        out.packets.push_back(Packet(_config.moduleAddress, {kCmdUpgrade, kUpgradeLoad}));
        out.action = LinkAction::Restart;
        out.restartInto = Firmware::Loader;
        return;
    case kUpgradePrepare:
        return _prepare(p, out);
    case kUpgradeSum:
        return _sum(out);
    case kUpgradeWrite:
        return _write(p, loaderRunning, out);
    case kUpgradeReboot:
        if (_step_faults(UpgradeStep::Reboot, out))
            return;
        out.action = LinkAction::Restart;
        out.restartInto = Firmware::Application;
        return;
    default:
        return;  // not a request this loader knows
    }
}

void UpgradeLoader::HandleBusy(const Packet& p, Reaction& out)
{
    if (p.payload.size() < 2)
        return;
    uint8_t sub = p.payload[1];
    if (sub == kUpgradePrepare || sub == kUpgradeSum || sub == kUpgradeWrite) {
        _status(out, aErrBusy);
    } else if (sub & (Uei::kGet | Uei::kSet)) {
        Uei::Request request;
        if (!Uei::Parse(p, request))
            return;
        // A refused byte string is answered once, at its last chunk.
        bool moreChunks = request.set && !request.value.empty() && (request.value.back() & 0x80);
        if (!moreChunks)
            out.packets.push_back(Uei::Error(_config.moduleAddress, request, aErrBusy));
    }
}

// Bytes taken from the host: the loader keeps them for the next WRITE; the
// application puts the loader straight into RAM, which is its image too.
void UpgradeLoader::_accept(const uint8_t* data, size_t length, bool loaderRunning)
{
    _pending.insert(_pending.end(), data, data + length);
    _counters.bytesAccepted += length;
    if (!loaderRunning && _prepared)
        _flash.Append(_address, data, length);
}

void UpgradeLoader::_prepare(const Packet& p, Reaction& out)
{
    if (_step_faults(UpgradeStep::Prepare, out))
        return;
    if (const Fault* f = _faults.Fire(FaultKind::ErrorStatus, UpgradeStep::Prepare))
        return _status(out, f->code);
    if (p.payload.size() < 7)
        return _status(out, aErrSize);
    ++_counters.prepares;
    _address = GetBE(&p.payload[3], 4);
    _prepared = true;
    _pending.clear();
    _flash.Erase(_address);
    std::vector<uint8_t> size;
    PutBE(size, _config.blockSize, 2);
    _status(out, 0, size);
}

void UpgradeLoader::_data(const Packet& p, bool loaderRunning, Reaction& out)
{
    if (_step_faults(UpgradeStep::Data, out))
        return;
    size_t n = p.payload.size() - 2;
    if (n == 0)
        return;
    ++_counters.dataPackets;
    uint8_t count = static_cast<uint8_t>(n);
    if (_faults.Fire(FaultKind::WrongDataCount)) {
        count = static_cast<uint8_t>(n - 1);  // the bytes are not taken
    } else {
        _accept(&p.payload[2], n, loaderRunning);
    }
    out.packets.push_back(Packet(_config.moduleAddress, {kCmdUpgrade, kUpgradeData, count}));
}

void UpgradeLoader::_data_uei(const Packet& p, bool loaderRunning, Reaction& out)
{
    Uei::Request request;
    if (!Uei::Parse(p, request))
        return;
    if (request.index != 0) {
        out.packets.push_back(Uei::Error(_config.moduleAddress, request, aErrIndexRange));
        return;
    }
    switch (_dataString.Add(request.value)) {
    case Uei::ByteStringReceiver::Result::More:
    case Uei::ByteStringReceiver::Result::Ignored:
        return;
    case Uei::ByteStringReceiver::Result::Error:
        out.packets.push_back(Uei::Error(_config.moduleAddress, request, aErrPacket));
        return;
    case Uei::ByteStringReceiver::Result::Complete:
        break;
    }
    if (_step_faults(UpgradeStep::DataUEI, out))
        return;
    if (!_config.ueiData) {
        out.packets.push_back(Uei::Error(_config.moduleAddress, request, aErrInvalidOption));
        return;
    }
    ++_counters.dataUeiStrings;
    const auto& data = _dataString.Data();
    _accept(data.data(), data.size(), loaderRunning);
    out.packets.push_back(Uei::Ack(_config.moduleAddress, request));
}

void UpgradeLoader::_sum(Reaction& out)
{
    if (_step_faults(UpgradeStep::Sum, out))
        return;
    ++_counters.sums;
    uint32_t sum = std::accumulate(_pending.begin(), _pending.end(), uint32_t{0});
    uint8_t status = 0;
    if (const Fault* f = _faults.Fire(FaultKind::ErrorStatus, UpgradeStep::Sum))
        status = f->code;
    if (_faults.Fire(FaultKind::WrongSum))
        sum += 1;
    std::vector<uint8_t> value;
    PutBE(value, sum, 4);
    _status(out, status, value);
}

void UpgradeLoader::_write(const Packet& p, bool loaderRunning, Reaction& out)
{
    if (_step_faults(UpgradeStep::Write, out))
        return;
    if (const Fault* f = _faults.Fire(FaultKind::ErrorStatus, UpgradeStep::Write))
        return _status(out, f->code);
    if (p.payload.size() < 4)
        return _status(out, aErrSize);
    // Flash belongs to the loader; the running application refuses to write it.
    if (!loaderRunning)
        return _status(out, aErrMode);
    if (!_prepared)
        return _status(out, aErrConfiguration);
    uint32_t count = GetBE(&p.payload[2], 2);
    if (count != _pending.size())
        return _status(out, aErrSize);
    ++_counters.writes;
    _flash.Append(_address, _pending.data(), _pending.size());
    _counters.bytesWritten += _pending.size();
    _pending.clear();
    _flashWritten = true;
    _status(out, 0);
}

}  // namespace Sim
