#include "sim/LpcIspRom.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace Sim {

namespace {

// ISP return codes.
enum : uint32_t {
    CMD_SUCCESS = 0,
    INVALID_COMMAND = 1,
    SRC_ADDR_ERROR = 2,
    DST_ADDR_ERROR = 3,
    SRC_ADDR_NOT_MAPPED = 4,
    DST_ADDR_NOT_MAPPED = 5,
    COUNT_ERROR = 6,
    INVALID_SECTOR = 7,
    SECTOR_NOT_BLANK = 8,
    SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION = 9,
    PARAM_ERROR = 12,
    ADDR_ERROR = 13,
    ADDR_NOT_MAPPED = 14,
    CMD_LOCKED = 15,
    INVALID_CODE = 16,
    INVALID_BAUD_RATE = 17,
    INVALID_STOP_BIT = 18,
};

constexpr size_t kLineMax = 512;
constexpr uint32_t kLinesPerChecksum = 20;
constexpr uint32_t kBytesPerLine = 45;
constexpr uint32_t kNoReply = 0xFFFFFFFF;  // the command answered (or chose silence) itself

std::string _number(uint32_t value)
{
    return std::to_string(value) + "\r\n";
}

bool _decimal(const std::string& token, uint32_t& value)
{
    if (token.empty() || token.size() > 10)
        return false;
    uint64_t v = 0;
    for (char c : token) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v > UINT32_MAX)
        return false;
    value = static_cast<uint32_t>(v);
    return true;
}

uint32_t _sector(uint32_t address)
{
    return address < 0x10000 ? address / 0x1000 : 16 + (address - 0x10000) / 0x8000;
}

uint32_t _sectorStart(uint32_t sector)
{
    return sector < 16 ? sector * 0x1000 : 0x10000 + (sector - 16) * 0x8000;
}

uint32_t _sectorSize(uint32_t sector)
{
    return sector < 16 ? 0x1000 : 0x8000;
}

char _uuchar(uint32_t value)
{
    value &= 0x3F;
    return value ? static_cast<char>(value + 32) : '`';
}

std::string _uuencode(const uint8_t* data, size_t n)
{
    std::string line(1, _uuchar(static_cast<uint32_t>(n)));
    for (size_t i = 0; i < n; i += 3) {
        uint32_t b0 = data[i], b1 = i + 1 < n ? data[i + 1] : 0, b2 = i + 2 < n ? data[i + 2] : 0;
        line += _uuchar(b0 >> 2);
        line += _uuchar((b0 << 4) | (b1 >> 4));
        line += _uuchar((b1 << 2) | (b2 >> 6));
        line += _uuchar(b2);
    }
    return line + "\r\n";
}

// The bytes of one UU line; false (and as many zeros as announced) when the line is
// shorter than it announces.
bool _uudecode(const std::string& line, std::vector<uint8_t>& bytes)
{
    bytes.clear();
    if (line.empty())
        return false;
    size_t n = static_cast<size_t>((line[0] - 32) & 0x3F);
    size_t available = line.size() - 1;
    if (available < (n * 4 + 2) / 3) {
        bytes.assign(n, 0);
        return false;
    }
    auto six = [&](size_t k) -> uint32_t {
        return k < available ? static_cast<uint32_t>((line[1 + k] - 32) & 0x3F) : 0;
    };
    for (size_t k = 0; bytes.size() < n; k += 4) {
        uint32_t group = (six(k) << 18) | (six(k + 1) << 12) | (six(k + 2) << 6) | six(k + 3);
        for (int shift = 16; shift >= 0 && bytes.size() < n; shift -= 8)
            bytes.push_back(static_cast<uint8_t>(group >> shift));
    }
    return true;
}

}  // namespace

LpcIspRom::LpcIspRom(LpcIspRomConfig config)
    : _config(config), _flash(kFlashSize, 0xFF), _sram(kRamSize, 0), _ahbRam(kAhbRamSize, 0)
{
}

void LpcIspRom::Reset()
{
    _state = State::Autobaud;
    _echo = true;
    _unlocked = false;
    std::fill(std::begin(_prepared), std::end(_prepared), false);
    _lineBuffer.clear();
    _lineOverflow = false;
    _checksums = _resends = _failSeen = 0;
    _bytesIn = 0;
    _baudRate = 0;
}

void LpcIspRom::SetFaults(const LpcIspRomFaults& faults)
{
    _faults = faults;
    _failSeen = _checksums = _resends = 0;
    _bytesIn = 0;
}

void LpcIspRom::SetFlash(const std::vector<uint8_t>& image)
{
    std::copy_n(image.begin(), std::min<size_t>(image.size(), _flash.size()), _flash.begin());
}

bool LpcIspRom::SaveFlash(const std::string& path) const
{
    // Written aside and renamed, so that a reader never sees half an image.
    std::string temporary = path + ".tmp";
    FILE* file = fopen(temporary.c_str(), "wb");
    if (!file)
        return false;
    bool ok = fwrite(_flash.data(), 1, _flash.size(), file) == _flash.size();
    ok = (fclose(file) == 0) && ok;
    if (ok)
        ok = rename(temporary.c_str(), path.c_str()) == 0;
    if (!ok)
        remove(temporary.c_str());
    return ok;
}

uint8_t* LpcIspRom::_ram(uint32_t address, uint32_t count)
{
    uint64_t end = static_cast<uint64_t>(address) + count;
    if (address >= kRamBase && end <= static_cast<uint64_t>(kRamBase) + kRamSize)
        return &_sram[address - kRamBase];
    if (address >= kAhbRamBase && end <= static_cast<uint64_t>(kAhbRamBase) + kAhbRamSize)
        return &_ahbRam[address - kAhbRamBase];
    return nullptr;
}

const uint8_t* LpcIspRom::_memory(uint32_t address, uint32_t count) const
{
    if (static_cast<uint64_t>(address) + count <= kFlashSize)
        return &_flash[address];
    return const_cast<LpcIspRom*>(this)->_ram(address, count);
}

std::vector<uint8_t> LpcIspRom::Ram(uint32_t address, uint32_t count) const
{
    const uint8_t* p = address >= kFlashSize ? _memory(address, count) : nullptr;
    return p ? std::vector<uint8_t>(p, p + count) : std::vector<uint8_t>{};
}

std::string LpcIspRom::Receive(const uint8_t* bytes, size_t length)
{
    std::string out;
    for (size_t i = 0; i < length; ++i) {
        ++_bytesIn;
        if (_faults.silentAfterBytes && _bytesIn > _faults.silentAfterBytes)
            _state = State::Silent;
        if (_state == State::Silent || _state == State::Running)
            continue;
        _byte(bytes[i], out);
    }
    return out;
}

void LpcIspRom::_byte(uint8_t byte, std::string& out)
{
    if (_state == State::Autobaud) {
        // The ROM measures the rate on "?" and answers; anything else is line noise.
        if (byte == '?') {
            out += "Synchronized\r\n";
            _state = State::SyncWord;
            _lineBuffer.clear();
            _lineOverflow = false;
        }
        return;
    }
    if (_echo)
        out += static_cast<char>(byte);
    if (byte != '\n') {
        if (_lineBuffer.size() < kLineMax)
            _lineBuffer += static_cast<char>(byte);
        else
            _lineOverflow = true;
        return;
    }
    std::string line;
    line.swap(_lineBuffer);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    if (_lineOverflow) {
        _lineOverflow = false;
        line = "\x01";  // no command, no data: refused below
    }
    _line(line, out);
}

void LpcIspRom::_line(const std::string& line, std::string& out)
{
    uint32_t value = 0;
    switch (_state) {
    case State::SyncWord:
        if (line == "Synchronized") {
            out += "OK\r\n";
            _state = State::Crystal;
        } else {
            _state = State::Autobaud;
        }
        return;
    case State::Crystal:
        if (_decimal(line, value)) {
            out += "OK\r\n";
            _state = State::Command;
        } else {
            _state = State::Autobaud;
        }
        return;
    case State::Command:
        _command(line, out);
        return;
    case State::WriteData:
        _writeLine(line, out);
        return;
    case State::ReadWait:
        _readReply(line, out);
        return;
    default:
        return;
    }
}

bool LpcIspRom::_failNow(char letter)
{
    if (_faults.failCommand != letter)
        return false;
    uint32_t seen = _failSeen++;
    if (seen < _faults.failSkip)
        return false;
    return _faults.failTimes == 0 || seen - _faults.failSkip < _faults.failTimes;
}

bool LpcIspRom::_checksumFails()
{
    ++_checksums;
    return _faults.resendCount && _checksums >= _faults.resendFrom &&
           _checksums - _faults.resendFrom < _faults.resendCount;
}

bool LpcIspRom::_sectorsPrepared(uint32_t first, uint32_t last) const
{
    for (uint32_t s = first; s <= last; ++s)
        if (!_prepared[s])
            return false;
    return true;
}

void LpcIspRom::_command(const std::string& line, std::string& out)
{
    if (line.empty())
        return;  // a stray line end
    _commands.push_back(line);
    std::istringstream words(line);
    std::vector<std::string> tokens;
    for (std::string t; words >> t;)
        tokens.push_back(t);
    if (tokens.empty() || tokens[0].size() != 1) {
        out += _number(INVALID_COMMAND);
        return;
    }
    char letter = tokens[0][0];
    if (_failNow(letter)) {
        out += _number(_faults.failCode);
        return;
    }
    std::vector<uint32_t> args;
    bool argsOk = true;
    std::string rest;
    for (size_t i = 1; i < tokens.size(); ++i) {
        uint32_t v = 0;
        if (_decimal(tokens[i], v))
            args.push_back(v);
        else if (i == tokens.size() - 1 && letter == 'G')
            rest = tokens[i];
        else
            argsOk = false;
    }
    uint32_t code = _execute(letter, args, tokens.size() - 1, argsOk, rest, out);
    if (code != kNoReply)
        out += _number(code);
}

uint32_t LpcIspRom::_execute(char letter, const std::vector<uint32_t>& a, size_t argCount, bool argsOk,
                             const std::string& rest, std::string& out)
{
    auto needs = [&](size_t n) { return argsOk && argCount == n && a.size() == n; };
    switch (letter) {
    case 'U':
        if (!needs(1))
            return PARAM_ERROR;
        if (a[0] != 23130)
            return INVALID_CODE;
        _unlocked = true;
        return CMD_SUCCESS;
    case 'A':
        if (!needs(1) || a[0] > 1)
            return PARAM_ERROR;
        out += _number(CMD_SUCCESS);
        _echo = a[0] == 1;
        return kNoReply;
    case 'B': {
        if (!needs(2))
            return PARAM_ERROR;
        static const uint32_t rates[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
        if (std::find(std::begin(rates), std::end(rates), a[0]) == std::end(rates))
            return INVALID_BAUD_RATE;
        if (a[1] != 1 && a[1] != 2)
            return INVALID_STOP_BIT;
        _baudRate = a[0];
        return CMD_SUCCESS;
    }
    case 'K':
        if (argCount)
            return PARAM_ERROR;
        out += _number(CMD_SUCCESS) + _number(_config.bootMajor) + _number(_config.bootMinor);
        return kNoReply;
    case 'J':
        if (argCount)
            return PARAM_ERROR;
        out += _number(CMD_SUCCESS) + _number(_config.partId);
        return kNoReply;
    case 'N':
        if (argCount)
            return PARAM_ERROR;
        out += _number(CMD_SUCCESS);
        for (uint32_t word : _config.serial)
            out += _number(word);
        return kNoReply;
    case 'P':
        if (!needs(2))
            return PARAM_ERROR;
        if (a[0] > a[1] || a[1] >= kSectorCount)
            return INVALID_SECTOR;
        for (uint32_t s = a[0]; s <= a[1]; ++s)
            _prepared[s] = true;
        return CMD_SUCCESS;
    case 'E':
        if (!needs(2))
            return PARAM_ERROR;
        if (!_unlocked)
            return CMD_LOCKED;
        if (a[0] > a[1] || a[1] >= kSectorCount)
            return INVALID_SECTOR;
        if (!_sectorsPrepared(a[0], a[1]))
            return SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION;
        for (uint32_t s = a[0]; s <= a[1]; ++s) {
            std::fill_n(_flash.begin() + _sectorStart(s), _sectorSize(s), 0xFF);
            _prepared[s] = false;
        }
        return CMD_SUCCESS;
    case 'I': {
        if (!needs(2))
            return PARAM_ERROR;
        if (a[0] > a[1] || a[1] >= kSectorCount)
            return INVALID_SECTOR;
        uint32_t end = _sectorStart(a[1]) + _sectorSize(a[1]);
        for (uint32_t at = _sectorStart(a[0]); at < end; ++at) {
            if (_flash[at] == 0xFF)
                continue;
            uint32_t word = at & ~3u;
            uint32_t value = _flash[word] | _flash[word + 1] << 8 | _flash[word + 2] << 16 |
                             static_cast<uint32_t>(_flash[word + 3]) << 24;
            out += _number(SECTOR_NOT_BLANK) + _number(word) + _number(value);
            return kNoReply;
        }
        return CMD_SUCCESS;
    }
    case 'C': {
        if (!needs(3))
            return PARAM_ERROR;
        if (!_unlocked)
            return CMD_LOCKED;
        uint32_t dst = a[0], src = a[1], count = a[2];
        if (dst % 256 != 0)
            return DST_ADDR_ERROR;
        if (count != 256 && count != 512 && count != 1024 && count != 4096)
            return COUNT_ERROR;
        if (static_cast<uint64_t>(dst) + count > kFlashSize)
            return DST_ADDR_NOT_MAPPED;
        if (src % 4 != 0)
            return SRC_ADDR_ERROR;
        const uint8_t* from = _ram(src, count);
        if (!from)
            return SRC_ADDR_NOT_MAPPED;
        uint32_t first = _sector(dst), last = _sector(dst + count - 1);
        if (!_sectorsPrepared(first, last))
            return SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION;
        // Programming only clears bits: what is not erased keeps its zeros.
        for (uint32_t i = 0; i < count; ++i)
            _flash[dst + i] &= from[i];
        for (uint32_t s = first; s <= last; ++s)
            _prepared[s] = false;
        return CMD_SUCCESS;
    }
    case 'G':
        if (argCount != 2 || a.size() != 1 || !argsOk)
            return PARAM_ERROR;
        if (!_unlocked)
            return CMD_LOCKED;
        if (rest != "T" && rest != "A")
            return PARAM_ERROR;
        out += _number(CMD_SUCCESS);
        _startAddress = a[0];
        _state = State::Running;
        return kNoReply;
    case 'W':
        if (!needs(2))
            return PARAM_ERROR;
        if (a[0] % 4 != 0)
            return ADDR_ERROR;
        if (a[1] == 0 || a[1] % 4 != 0)
            return COUNT_ERROR;
        if (!_ram(a[0], a[1]))
            return ADDR_NOT_MAPPED;
        _address = a[0];
        _count = a[1];
        _accepted = _position = _lines = 0;
        _groupBad = false;
        _group.clear();
        _state = State::WriteData;
        return CMD_SUCCESS;
    case 'R':
        if (!needs(2))
            return PARAM_ERROR;
        if (a[0] % 4 != 0)
            return ADDR_ERROR;
        if (a[1] == 0 || a[1] % 4 != 0)
            return COUNT_ERROR;
        if (!_memory(a[0], a[1]))
            return ADDR_NOT_MAPPED;
        _address = a[0];
        _count = a[1];
        _accepted = 0;
        out += _number(CMD_SUCCESS);
        _sendReadGroup(out);
        return kNoReply;
    default:
        return INVALID_COMMAND;
    }
}

void LpcIspRom::_writeLine(const std::string& line, std::string& out)
{
    uint32_t moved = _accepted + _position;
    if (_lines < kLinesPerChecksum && moved < _count) {
        std::vector<uint8_t> bytes;
        bool ok = _uudecode(line, bytes) && !bytes.empty() && bytes.size() <= _count - moved;
        // A spoilt line still takes its announced place, so the checksum line is found.
        if (!ok)
            _groupBad = true;
        if (bytes.size() > _count - moved)
            bytes.resize(_count - moved);
        _group.insert(_group.end(), bytes.begin(), bytes.end());
        _position += static_cast<uint32_t>(bytes.size());
        ++_lines;
        return;
    }
    uint32_t value = 0;
    bool number = _decimal(line, value);
    uint32_t total = 0;
    for (uint8_t b : _group)
        total += b;
    bool fault = _checksumFails();
    if (!number || _groupBad || value != total || fault) {
        ++_resends;
        out += "RESEND\r\n";
    } else {
        std::copy(_group.begin(), _group.end(), _ram(_address + _accepted, _position));
        _accepted += _position;
        out += "OK\r\n";
        if (_accepted >= _count)
            _state = State::Command;
    }
    _position = _lines = 0;
    _groupBad = false;
    _group.clear();
}

void LpcIspRom::_sendReadGroup(std::string& out)
{
    const uint8_t* from = _memory(_address + _accepted, _count - _accepted);
    uint32_t group = std::min(_count - _accepted, kLinesPerChecksum * kBytesPerLine);
    uint32_t total = 0;
    for (uint32_t i = 0; i < group; i += kBytesPerLine)
        out += _uuencode(from + i, std::min(kBytesPerLine, group - i));
    for (uint32_t i = 0; i < group; ++i)
        total += from[i];
    if (_checksumFails()) {
        ++_resends;
        ++total;
    }
    out += _number(total);
    _position = group;
    _state = State::ReadWait;
}

void LpcIspRom::_readReply(const std::string& line, std::string& out)
{
    if (line == "OK") {
        _accepted += _position;
        if (_accepted >= _count)
            _state = State::Command;
        else
            _sendReadGroup(out);
    } else if (line == "RESEND") {
        _sendReadGroup(out);
    } else {
        // The host gave up on the read: take the line as the next command.
        _state = State::Command;
        _command(line, out);
    }
}

}  // namespace Sim
