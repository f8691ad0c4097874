#include "sim/SdpRom.h"

#include <algorithm>
#include <cstdlib>

namespace Sim {

namespace {

constexpr uint8_t CMD_READ_REGISTER = 0x01;
constexpr uint8_t CMD_WRITE_REGISTER = 0x02;
constexpr uint8_t CMD_WRITE_FILE = 0x04;
constexpr uint8_t CMD_ERROR_STATUS = 0x05;
constexpr uint8_t CMD_DCD_WRITE = 0x0A;
constexpr uint8_t CMD_JUMP_ADDRESS = 0x0B;
constexpr uint8_t CMD_SKIP_DCD_HEADER = 0x0C;
constexpr uint8_t REPORT_COMMAND = 1;
constexpr uint8_t REPORT_DATA = 2;
constexpr uint8_t REPORT_STATUS = 3;
constexpr uint8_t REPORT_RESPONSE = 4;
constexpr uint32_t MAX_READ = 64u << 10;

uint32_t _be32(const uint8_t* bytes)
{
    return static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
           static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
}

std::vector<uint8_t> _le32(uint32_t value)
{
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
            static_cast<uint8_t>(value >> 24)};
}

}  // namespace

bool SdpRomConfig::SetFault(const std::string& text, std::string& error)
{
    std::string name = text.substr(0, text.find('='));
    if (name == "none") {
        fault = SdpRomFault::None;
    } else if (name == "silent") {
        fault = SdpRomFault::Silent;
    } else if (name == "garbage") {
        fault = SdpRomFault::Garbage;
    } else if (name == "status-only") {
        fault = SdpRomFault::StatusOnly;
    } else if (name == "write-incomplete") {
        fault = SdpRomFault::WriteIncomplete;
    } else if (name == "extra-bytes") {
        fault = SdpRomFault::ExtraBytes;
        if (name.size() < text.size()) {
            char* end = nullptr;
            unsigned long count = strtoul(text.c_str() + name.size() + 1, &end, 10);
            if (!end || *end || count == 0 || count > (1ul << 24)) {
                error = "extra-bytes needs a count from 1 to 16777216";
                return false;
            }
            extraBytes = count;
        }
    } else {
        error = "unknown fault " + text;
        return false;
    }
    return true;
}

SdpRom::SdpRom(SdpRomConfig config) : _config(config) {}

void SdpRom::SetJumpHook(std::function<void(uint32_t)> hook)
{
    std::lock_guard lock(_mutex);
    _jumpHook = std::move(hook);
}

// The security state, then (unless the command has none) the response word,
// as the configured fault shapes them.
std::vector<SdpRom::Reply> SdpRom::_answer(uint32_t word, bool withWord) const
{
    std::vector<Reply> replies;
    switch (_config.fault) {
    case SdpRomFault::Silent:
        return replies;
    case SdpRomFault::Garbage:
        replies.push_back({0x09, {0xA5, 0x5A, 0xC3, 0x3C, 0x99, 0x66, 0x0F, 0xF0, 0x81, 0x18, 0x42, 0x24, 0x7E}});
        return replies;
    default:
        break;
    }
    replies.push_back({REPORT_STATUS, _le32(_config.habMode)});
    if (_config.fault == SdpRomFault::StatusOnly)
        return replies;
    if (withWord)
        replies.push_back({REPORT_RESPONSE, _le32(word)});
    if (_config.fault == SdpRomFault::ExtraBytes)
        replies.push_back({REPORT_RESPONSE, std::vector<uint8_t>(_config.extraBytes, 0xEE)});
    return replies;
}

uint8_t SdpRom::_byteAt(uint32_t address) const
{
    auto registerByte = [address](uint32_t base, uint32_t value, uint8_t& out) {
        if (address - base >= 4)
            return false;
        out = static_cast<uint8_t>(value >> (8 * (address - base)));
        return true;
    };
    uint8_t byte = 0;
    if (registerByte(FINGERPRINT_LOW_REGISTER, _config.fingerprintLow, byte) ||
        registerByte(FINGERPRINT_HIGH_REGISTER, _config.fingerprintHigh, byte))
        return byte;
    // The latest write that covers the address wins.
    for (auto it = _writes.rbegin(); it != _writes.rend(); ++it)
        if (address - it->address < it->bytes.size())
            return it->bytes[address - it->address];
    return 0;
}

std::vector<SdpRom::Reply> SdpRom::_readRegister(uint32_t address, uint8_t format, uint32_t count) const
{
    if (_config.fault != SdpRomFault::None && _config.fault != SdpRomFault::WriteIncomplete &&
        _config.fault != SdpRomFault::ExtraBytes)
        return _answer(0);
    std::vector<uint8_t> data;
    count = std::min(count, MAX_READ);
    for (uint32_t i = 0; i < count; ++i)
        data.push_back(_byteAt(address + i));
    std::vector<Reply> replies{{REPORT_STATUS, _le32(_config.habMode)}};
    replies.push_back({REPORT_RESPONSE, data});
    if (_config.fault == SdpRomFault::ExtraBytes)
        replies.push_back({REPORT_RESPONSE, std::vector<uint8_t>(_config.extraBytes, 0xEE)});
    return replies;
}

void SdpRom::_store(uint32_t address, const std::vector<uint8_t>& bytes)
{
    _writes.push_back({address, bytes});
}

std::vector<SdpRom::Reply> SdpRom::Command(const uint8_t* command)
{
    std::function<void(uint32_t)> hook;
    uint32_t jumpTo = 0;
    std::vector<Reply> replies;
    {
        std::lock_guard lock(_mutex);
        const uint8_t type = command[0];
        const uint32_t address = _be32(command + 2);
        const uint8_t format = command[6];
        const uint32_t count = _be32(command + 7);
        const uint32_t value = _be32(command + 11);
        if (command[1] != type) {
            ++_unknown;
            return replies;
        }
        ++_counts[type];
        switch (type) {
        case CMD_ERROR_STATUS:
            return _answer(ACKNOWLEDGE);
        case CMD_READ_REGISTER:
            return _readRegister(address, format, count);
        case CMD_WRITE_REGISTER: {
            size_t width = format == 0x08 ? 1 : format == 0x10 ? 2 : 4;
            std::vector<uint8_t> bytes = _le32(value);
            bytes.resize(width);
            _store(address, bytes);
            return _answer(WRITE_COMPLETE);
        }
        case CMD_WRITE_FILE:
        case CMD_DCD_WRITE:
            if (count > MAX_TRANSFER)
                return _answer(0);
            _pending = type;
            _pendingAddress = address;
            _expected = count;
            _incoming.clear();
            if (count == 0) {
                _pending = 0;
                _store(address, {});
                return _answer(type == CMD_WRITE_FILE ? WRITE_FILE_COMPLETE : WRITE_COMPLETE);
            }
            return replies;
        case CMD_SKIP_DCD_HEADER:
            return _answer(SKIP_DCD_COMPLETE);
        case CMD_JUMP_ADDRESS:
            _jumps.push_back(address);
            hook = _jumpHook;
            jumpTo = address;
            replies = _answer(0, false);
            break;
        default:
            --_counts[type];
            ++_unknown;
            return replies;
        }
    }
    if (hook)
        hook(jumpTo);
    return replies;
}

std::vector<SdpRom::Reply> SdpRom::Data(const uint8_t* bytes, size_t length, size_t& taken)
{
    std::lock_guard lock(_mutex);
    taken = std::min(length, _expected);
    if (!taken)
        return {};
    _incoming.insert(_incoming.end(), bytes, bytes + taken);
    _expected -= taken;
    if (_expected)
        return {};
    uint8_t type = _pending;
    _pending = 0;
    _store(_pendingAddress, _incoming);
    _incoming.clear();
    if (type == CMD_WRITE_FILE)
        return _answer(_config.fault == SdpRomFault::WriteIncomplete ? ACKNOWLEDGE : WRITE_FILE_COMPLETE);
    return _answer(WRITE_COMPLETE);
}

size_t SdpRom::DataExpected() const
{
    std::lock_guard lock(_mutex);
    return _expected;
}

std::vector<std::vector<uint8_t>> SdpRom::HidReport(const uint8_t* report, size_t length)
{
    std::vector<Reply> replies;
    if (length == 0)
        return {};
    if (report[0] == REPORT_COMMAND && length >= 1 + COMMAND_SIZE) {
        replies = Command(report + 1);
    } else if (report[0] == REPORT_DATA) {
        size_t taken = 0;
        replies = Data(report + 1, length - 1, taken);
    } else {
        std::lock_guard lock(_mutex);
        ++_unknown;
    }
    // Report 3 is the id and four bytes; report 4 always fills its 64 bytes.
    std::vector<std::vector<uint8_t>> reports;
    for (const Reply& reply : replies) {
        if (reply.reportId != REPORT_RESPONSE) {
            std::vector<uint8_t> out{reply.reportId};
            out.insert(out.end(), reply.bytes.begin(), reply.bytes.end());
            reports.push_back(std::move(out));
            continue;
        }
        for (size_t at = 0; at == 0 || at < reply.bytes.size(); at += HID_DATA_SIZE) {
            std::vector<uint8_t> out(1 + HID_DATA_SIZE, 0);
            out[0] = REPORT_RESPONSE;
            size_t n = std::min(HID_DATA_SIZE, reply.bytes.size() - std::min(at, reply.bytes.size()));
            std::copy_n(reply.bytes.begin() + static_cast<long>(at), n, out.begin() + 1);
            reports.push_back(std::move(out));
        }
    }
    return reports;
}

std::vector<uint8_t> SdpRom::SerialBytes(const std::vector<Reply>& replies)
{
    std::vector<uint8_t> out;
    for (const Reply& reply : replies)
        out.insert(out.end(), reply.bytes.begin(), reply.bytes.end());
    return out;
}

std::vector<uint8_t> SdpRom::Memory(uint32_t address, size_t length) const
{
    std::lock_guard lock(_mutex);
    std::vector<uint8_t> out(length, 0);
    for (const Segment& segment : _writes) {
        for (size_t i = 0; i < segment.bytes.size(); ++i) {
            uint64_t at = static_cast<uint64_t>(segment.address) + i;
            if (at >= address && at - address < length)
                out[at - address] = segment.bytes[i];
        }
    }
    return out;
}

std::vector<SdpRom::Segment> SdpRom::Writes() const
{
    std::lock_guard lock(_mutex);
    return _writes;
}

std::vector<uint32_t> SdpRom::Jumps() const
{
    std::lock_guard lock(_mutex);
    return _jumps;
}

unsigned SdpRom::CommandCount(uint8_t type) const
{
    std::lock_guard lock(_mutex);
    return _counts[type];
}

unsigned SdpRom::UnknownCommands() const
{
    std::lock_guard lock(_mutex);
    return _unknown;
}

}  // namespace Sim
