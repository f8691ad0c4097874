#include "recovery/NXPSerialClass.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/Log.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kCommandTries = 100;    // ms of silence a command's reply may take
constexpr uint32_t kChecksumTries = 2000;  // the ROM may program before it answers a checksum
constexpr int64_t kEchoBudgetMs = 100;
// A fixed reply may come late by more than the ROM's own delay: a USB serial adapter
// holds bytes for its latency timer (16 ms by default) and a busy host may not run us
// at once. 20 ms of slack turned such a reply into a failed sync.
constexpr int64_t kResponseSlackMs = 100;

int64_t _elapsedUs(Clock::time_point since)
{
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - since).count();
}

// The command without its line end, for error messages.
std::string _bare(const char* command)
{
    std::string text(command);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

bool _isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// A whole reply line holding one number (base prefixes allowed) and its CR LF.
bool _parseNumberLine(const char* line, uint64_t& value)
{
    if (!_isDigit(line[0]))
        return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(line, &end, 0);
    if (errno != 0 || end == line || strcmp(end, "\r\n") != 0)
        return false;
    value = v;
    return true;
}

}  // namespace

const char* const NXPSerialClass::ERROR_TEXT[MAX_ERROR + 1] = {
    "CMD_SUCCESS",         "INVALID_COMMAND",
    "SRC_ADDR_ERROR",      "DST_ADDR_ERROR",
    "SRC_ADDR_NOT_MAPPED", "DST_ADDR_NOT_MAPPED",
    "COUNT_ERROR",         "INVALID_SECTOR",
    "SECTOR_NOT_BLANK",    "SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION",
    "COMPARE_ERROR",       "BUSY",
    "PARAM_ERROR",         "ADDR_ERROR",
    "ADDR_NOT_MAPPED",     "CMD_LOCKED",
    "INVALID_CODE",        "INVALID_BAUD_RATE",
    "INVALID_STOP_BIT",    "CODE_READ_PROTECTION_ENABLED",
    "Unknown error",
};

const NXPSerialClass::Sector NXPSerialClass::NXP_LPC17XX_sectors[31] = {
    {0x00000, 0x1000, 0},  {0x01000, 0x1000, 1},  {0x02000, 0x1000, 2},  {0x03000, 0x1000, 3},  {0x04000, 0x1000, 4},
    {0x05000, 0x1000, 5},  {0x06000, 0x1000, 6},  {0x07000, 0x1000, 7},  {0x08000, 0x1000, 8},  {0x09000, 0x1000, 9},
    {0x0A000, 0x1000, 10}, {0x0B000, 0x1000, 11}, {0x0C000, 0x1000, 12}, {0x0D000, 0x1000, 13}, {0x0E000, 0x1000, 14},
    {0x0F000, 0x1000, 15}, {0x10000, 0x8000, 16}, {0x18000, 0x8000, 17}, {0x20000, 0x8000, 18}, {0x28000, 0x8000, 19},
    {0x30000, 0x8000, 20}, {0x38000, 0x8000, 21}, {0x40000, 0x8000, 22}, {0x48000, 0x8000, 23}, {0x50000, 0x8000, 24},
    {0x58000, 0x8000, 25}, {0x60000, 0x8000, 26}, {0x68000, 0x8000, 27}, {0x70000, 0x8000, 28}, {0x78000, 0x8000, 29},
    {0xFFFFFFFF, 0, 30},
};

NXPSerialClass::NXPSerialClass() = default;

NXPSerialClass::~NXPSerialClass()
{
    Disconnect();
}

// ---- Pure helpers --------------------------------------------------------------------

char NXPSerialClass::uuchar(uint8_t value)
{
    value &= 0x3F;
    return value ? static_cast<char>(value + 32) : '`';
}

size_t NXPSerialClass::uuencode(char* text, const uint8_t* data, size_t count)
{
    size_t n = count > 63 ? 63 : count;
    size_t p = 0;
    text[p++] = uuchar(static_cast<uint8_t>(n));
    for (size_t i = 0; i < n; i += 3) {
        uint8_t b0 = data[i];
        uint8_t b1 = i + 1 < n ? data[i + 1] : 0;
        uint8_t b2 = i + 2 < n ? data[i + 2] : 0;
        text[p++] = uuchar(b0 >> 2);
        text[p++] = uuchar(static_cast<uint8_t>(((b0 & 0x03) << 4) | (b1 >> 4)));
        text[p++] = uuchar(static_cast<uint8_t>(((b1 & 0x0F) << 2) | (b2 >> 6)));
        text[p++] = uuchar(b2 & 0x3F);
    }
    text[p] = '\0';
    return n;
}

size_t NXPSerialClass::uudecode(uint8_t* buffer, size_t capacity, const char* line)
{
    if (!line || line[0] == '\0' || line[0] == '\r' || line[0] == '\n')
        return 0;
    size_t n = static_cast<size_t>((line[0] - 32) & 0x3F);
    if (n > capacity || (n && !buffer))
        return 0;
    size_t available = 0;
    while (line[1 + available] != '\0' && line[1 + available] != '\r' && line[1 + available] != '\n')
        ++available;
    if (available < (n * 4 + 2) / 3) {
        Log::log(DEBUG_NXPSerial, "Error buffer overrun\n");
        return 0;
    }
    auto six = [&](size_t k) -> uint32_t {
        return k < available ? static_cast<uint32_t>((line[1 + k] - 32) & 0x3F) : 0;
    };
    size_t out = 0;
    for (size_t k = 0; out < n; k += 4) {
        uint32_t group = (six(k) << 18) | (six(k + 1) << 12) | (six(k + 2) << 6) | six(k + 3);
        for (int shift = 16; shift >= 0 && out < n; shift -= 8)
            buffer[out++] = static_cast<uint8_t>(group >> shift);
    }
    return n;
}

uint32_t NXPSerialClass::sum(const uint8_t* data, size_t count)
{
    uint32_t total = 0;
    for (size_t i = 0; i < count; ++i)
        total += data[i];
    return total;
}

uint32_t NXPSerialClass::CopyLength(uint32_t count)
{
    for (uint32_t size : {256u, 512u, 1024u, 4096u})
        if (count <= size)
            return size;
    Log::log(DEBUG_NXPSerial, "Copy length is too large. %d > 4096.\n", static_cast<int>(count));
    return count;
}

uint32_t NXPSerialClass::SectorFromAddress(uint32_t address)
{
    for (const Sector& row : NXP_LPC17XX_sectors) {
        if (row.start == 0xFFFFFFFF)
            return row.number;
        if (address >= row.start && address - row.start < row.size)
            return row.number;
    }
    return 30;
}

const char* NXPSerialClass::GetErrorText(const char* line)
{
    if (!line)
        return ERROR_TEXT[MAX_ERROR];
    char* end = nullptr;
    long value = strtol(line, &end, 0);
    if (end == line || value < 0 || value > MAX_ERROR)
        return ERROR_TEXT[MAX_ERROR];
    return ERROR_TEXT[value];
}

int NXPSerialClass::ReturnCode(const char* line, bool echoOn)
{
    if (!line)
        return -1;
    size_t length = strlen(line);
    if (length < 3 || strcmp(line + length - 2, "\r\n") != 0)
        return -1;
    size_t last = length - 3;  // the code's last digit stands just before CR LF
    size_t first = 0;
    if (echoOn) {
        // What is left of the echo may stand before the code: take the whole run of
        // digits, so that a two-digit code ending in 0 is not read as success.
        first = last;
        while (first > 0 && _isDigit(line[first - 1]))
            --first;
    }
    if (first > last || last - first > 8)
        return -1;
    for (size_t i = first; i <= last; ++i)
        if (!_isDigit(line[i]))
            return -1;
    return atoi(line + first);
}

bool NXPSerialClass::ParseChecksum(const char* line, uint32_t& value)
{
    uint64_t v = 0;
    if (!line || !_parseNumberLine(line, v) || v > UINT32_MAX)
        return false;
    // Checksums are decimal: a leading 0 is no octal prefix here.
    for (const char* c = line; *c != '\r'; ++c)
        if (!_isDigit(*c))
            return false;
    value = static_cast<uint32_t>(strtoull(line, nullptr, 10));
    return true;
}

// ---- Connection ----------------------------------------------------------------------

aErr NXPSerialClass::Connect(const char* port, uint32_t rate)
{
    Disconnect();
    uint32_t index = 2;  // requests above the table fall back to 9600
    for (uint32_t i = 0; i < 8; ++i) {
        if (RATES[i] >= rate) {
            index = i;
            break;
        }
    }
    baudRate = RATES[index];
    Log::log(DEBUG_NXPSerial, "Creating serial connection: [%s] stream baud:%d(%d)\n", port ? port : "",
             static_cast<int>(index), static_cast<int>(baudRate));
    if (!port)
        return aErrParam;
    aErr err = aStream_CreateSerial(port, index, false, 0, 0, &stream);
    if (err != aErrNone) {
        Log::log(DEBUG_NXPSerial, "Error Creating Serial [%s] ==> %s", port, aError_GetErrorText(err));
        stream = nullptr;
        return err;
    }
    snprintf(portName, sizeof portName, "%s", port);
    return aErrNone;
}

aErr NXPSerialClass::Disconnect()
{
    if (stream)
        aStream_Destroy(&stream);
    stream = nullptr;
    return aErrNone;
}

// ---- Line primitives -----------------------------------------------------------------

// One byte from the port; an empty port is waited on (poll) while the budget lasts.
aErr NXPSerialClass::_getByte(uint8_t& byte, int64_t& budgetUs)
{
    if (!stream)
        return aErrConnection;
    for (;;) {
        aErr err = aStream_Read(stream, &byte, 1);
        if (err != aErrNotReady)
            return err;
        if (budgetUs <= 0)
            return aErrTimeout;
        Clock::time_point start = Clock::now();
        aStream_Wait(stream, static_cast<uint32_t>((budgetUs + 999) / 1000));
        // Every wait costs something, so that a port that wakes without data still ends.
        budgetUs -= std::max<int64_t>(_elapsedUs(start), 100);
    }
}

aErr NXPSerialClass::_getEcho(const char* expected, size_t n, size_t& matched)
{
    matched = 0;
    int64_t budgetUs = (kEchoBudgetMs + WAIT_TIME_MS(static_cast<uint32_t>(n), baudRate)) * 1000;
    size_t dropped = 0;
    while (matched < n) {
        uint8_t byte = 0;
        aErr err = _getByte(byte, budgetUs);
        if (err != aErrNone)
            return err;
        if (byte == static_cast<uint8_t>(expected[matched])) {
            ++matched;
            continue;
        }
        Log::log(DEBUG_NXPSerial_E, "%02X!=%02X\n", byte, static_cast<uint8_t>(expected[matched]));
        // A line that keeps talking must not hold us: a stray byte or two is normal
        // (the LF left from the last echo), a stream of them is not an echo.
        if (++dropped > n + 64)
            return aErrIO;
    }
    return aErrNone;
}

aErr NXPSerialClass::_send(const char* text, size_t length, bool readEcho)
{
    if (!stream)
        return aErrConnection;
    Log::log(DEBUG_NXPSerial_SR, "Send [%s]\n", Log::Visible(text, length).c_str());
    aErr err = aStream_Write(stream, reinterpret_cast<const uint8_t*>(text), length);
    if (err != aErrNone) {
        Log::log(DEBUG_NXPSerial, "Error Test_Serial_Send() [%s]\n", aError_GetErrorText(err));
        return err;
    }
    if (readEcho && length > 1) {
        size_t matched = 0;
        return _getEcho(text, length - 1, matched);
    }
    return aErrNone;
}

aErr NXPSerialClass::_sendCommand(const char* command)
{
    if (!stream)
        return aErrConnection;
    size_t length = strlen(command);
    Log::log(DEBUG_NXPSerial_SR, "Send [%s]\n", Log::Visible(command, length).c_str());
    aErr err = aStream_Write(stream, reinterpret_cast<const uint8_t*>(command), length);
    if (err != aErrNone) {
        Log::log(DEBUG_NXPSerial, "Error Write Serial [%s]\n", aError_GetErrorText(err));
        return err;
    }
    if (echo && length > 1) {
        size_t matched = 0;
        _getEcho(command, length - 1, matched);
        if (matched < length - 1)
            Log::log(DEBUG_NXPSerial_E, "Error SendCommand() bad echo [%d!=%d]\n", static_cast<int>(matched),
                     static_cast<int>(length - 1));
    }
    return aErrNone;
}

aErr NXPSerialClass::_getLine(char* buffer, size_t size, uint32_t tries)
{
    if (!buffer || size < 2)
        return aErrParam;
    buffer[0] = '\0';
    // The budget counts silence only; a long line at a slow rate gets its line time too.
    int64_t budgetUs = (static_cast<int64_t>(tries) + WAIT_TIME_MS(static_cast<uint32_t>(size), baudRate)) * 1000;
    size_t n = 0;
    while (n < size - 1) {
        uint8_t byte = 0;
        aErr err = _getByte(byte, budgetUs);
        if (err != aErrNone) {
            buffer[n] = '\0';
            Log::log(DEBUG_NXPSerial_SR, "Recv partial [%s] (%s)\n", Log::Visible(buffer, n).c_str(),
                     aError_GetErrorText(err));
            return err;
        }
        if (n == 0 && byte == '\n') {  // the LF left over from an echo
            budgetUs -= 1000;
            continue;
        }
        buffer[n++] = static_cast<char>(byte);
        if (n >= 2 && buffer[n - 2] == '\r' && buffer[n - 1] == '\n') {
            buffer[n] = '\0';
            Log::log(DEBUG_NXPSerial_SR, "Recv [%s]\n", Log::Visible(buffer, n).c_str());
            return aErrNone;
        }
    }
    buffer[n] = '\0';
    Log::log(DEBUG_NXPSerial, "Reply line longer than %d characters [%s]\n", static_cast<int>(size - 1),
             Log::Visible(buffer, n).c_str());
    return aErrOverrun;
}

aErr NXPSerialClass::_response(char* buffer, size_t size, const char* expected, size_t expectedLength)
{
    if (!buffer || size < 2)
        return aErrParam;
    size_t want = expectedLength && expectedLength < size - 1 ? expectedLength : size - 1;
    size_t expectedSize = expected ? strlen(expected) : 0;
    // The reply has its line time and some slack to arrive; bytes that are there are taken
    // at once, so only a silent line waits the budget out.
    int64_t budgetUs =
        (static_cast<int64_t>(WAIT_TIME_MS(static_cast<uint32_t>(want), baudRate)) + kResponseSlackMs) * 1000;
    Clock::time_point start = Clock::now();
    size_t stored = 0, received = 0;
    aErr result = aErrNone;
    while (stored < want) {
        int64_t left = budgetUs - _elapsedUs(start);
        uint8_t byte = 0;
        result = _getByte(byte, left);
        if (result != aErrNone)
            break;
        ++received;
        if (stored == 0 && (byte == '\n' || byte == '\r'))
            continue;
        if (byte == 0 && received <= 3)
            continue;
        if (stored < expectedSize && byte != static_cast<uint8_t>(expected[stored]))
            Log::log(DEBUG_NXPSerial_E,
                     "Error Test_Serial_Response() Expected byte %d does not match [[%02X] %c != %c [%02X]]\n",
                     static_cast<int>(stored), byte, byte >= 32 && byte < 127 ? byte : '.', expected[stored],
                     static_cast<uint8_t>(expected[stored]));
        buffer[stored++] = static_cast<char>(byte);
        if (stored >= 2 && buffer[stored - 2] == '\r' && buffer[stored - 1] == '\n')
            break;
    }
    buffer[stored] = '\0';
    Log::log(DEBUG_NXPSerial_SR, "Recv [%s]\n", Log::Visible(buffer, stored).c_str());
    return result;
}

// ---- Commands ------------------------------------------------------------------------

aErr NXPSerialClass::Sync()
{
    char reply[64];
    aErr err = _send("?", 1, false);
    if (err != aErrNone)
        return err;
    err = _response(reply, sizeof reply, "Synchronized\r\n", 14);
    // A ROM that synchronised before takes "?" as the start of a command and echoes it.
    if (err != aErrNone && strcmp(reply, "?") == 0)
        return _resumeSession();
    if (err != aErrNone) {
        Log::log(DEBUG_NXPSerial, "Did not receive correct response to opening sync command: [%s]. Response: [%s]\n",
                 aError_GetErrorText(err), reply);
        return err;
    }
    if (strncmp(reply, "Synchronized\r\n", 14) != 0)
        Log::log(DEBUG_NXPSerial, "Did not receive correct response [%s]\n", reply);

    err = _send("Synchronized\r\n", 14, false);
    if (err != aErrNone)
        return err;
    _response(reply, sizeof reply, nullptr, 13);
    err = _response(reply, sizeof reply, "OK\r\n", 4);
    bool refused = strncmp(reply, "OK", 2) != 0;
    if (refused)
        Log::log(DEBUG_NXPSerial, "Did not receive correct response [%s] != [%s]\n", reply, "OK\r\n");

    char crystal[16];
    int length = snprintf(crystal, sizeof crystal, "%d\r\n", static_cast<int>(std::lround(CRYSTAL_DEFAULT * 1000)));
    err = _send(crystal, static_cast<size_t>(length), false);
    if (err != aErrNone)
        return err;
    _response(reply, sizeof reply, nullptr, static_cast<size_t>(length - 1));
    err = _response(reply, sizeof reply, "OK\r\n", 4);
    if (refused)
        return aErrIO;
    // Silence ends the wait with a time-out; an answer other than OK is no sync either.
    if (err == aErrNone && strncmp(reply, "OK", 2) != 0) {
        Log::log(DEBUG_NXPSerial, "Did not receive correct response [%s] != [%s]\n", reply, "OK\r\n");
        return aErrIO;
    }
    return err;
}

// The ROM stays in command mode from its first handshake until the chip is reset, and
// its rate stays the one it measured then: the echo of "?" came back right, so the rate
// is ours. Ending the line makes it answer with a return code (INVALID_COMMAND for "?");
// then the session goes on as after a sync. A ROM that answers no code is inside a
// transfer or another exchange, which only a reset ends: aErrBusy.
aErr NXPSerialClass::_resumeSession()
{
    Log::log(DEBUG_NXPSerial, "The boot ROM echoes the sync: it is already synchronised\n");
    aErr err = _send("\r\n", 2, false);
    if (err != aErrNone)
        return err;
    char reply[64];
    _response(reply, sizeof reply, nullptr, 0);
    if (ReturnCode(reply, false) < 0) {
        Log::log(DEBUG_NXPSerial, "No return code after the sync's line end: [%s]\n", reply);
        return aErrBusy;
    }
    echo = true;
    return aErrNone;
}

aErr NXPSerialClass::_command(const char* command, const char* errorPrefix)
{
    aErr err = _sendCommand(command);
    if (err != aErrNone) {
        Log::log(DEBUG_NXPSerial, "%sError Sending command [%s] [%s]\n", errorPrefix, _bare(command).c_str(),
                 aError_GetErrorText(err));
        return err;
    }
    char line[64];
    _getLine(line, sizeof line, kCommandTries);
    int code = ReturnCode(line, echo);
    if (code == 0)
        return aErrNone;
    Log::log(DEBUG_NXPSerial, "%sError response ==>[%s]\n", errorPrefix,
             code < 0 || code > MAX_ERROR ? ERROR_TEXT[MAX_ERROR] : ERROR_TEXT[code]);
    return aErrParam;
}

aErr NXPSerialClass::SetEcho(bool on)
{
    Log::log(DEBUG_NXPSerial, "Setting device echo %d\n", on ? 1 : 0);
    char command[16];
    snprintf(command, sizeof command, "A %d\r\n", on ? 1 : 0);
    aErr err = _command(command, "");
    if (err == aErrNone)
        echo = on;
    return err;
}

aErr NXPSerialClass::SetBaudRate(uint32_t rate)
{
    char command[32];
    snprintf(command, sizeof command, "B %u %d\r\n", rate, 1);
    return _command(command, "");
}

aErr NXPSerialClass::Unlock()
{
    return _command("U 23130\r\n", "");
}

aErr NXPSerialClass::Prepare(uint32_t first, uint32_t last)
{
    if (last < first)
        return aErrParam;
    char command[32];
    snprintf(command, sizeof command, "P %u %u\r\n", first, last);
    return _command(command, "");
}

aErr NXPSerialClass::Erase(uint32_t first, uint32_t last)
{
    if (last < first)
        return aErrParam;
    char command[32];
    snprintf(command, sizeof command, "E %u %u\r\n", first, last);
    return _command(command, "");
}

aErr NXPSerialClass::CopyToFlash(uint32_t flashAddress, uint32_t ramAddress, uint32_t count)
{
    if (flashAddress % 256 != 0)
        return aErrParam;
    if (count != 256 && count != 512 && count != 1024 && count != 4096)
        return aErrParam;
    char command[48];
    snprintf(command, sizeof command, "C %u %u %u\r\n", flashAddress, ramAddress, count);
    return _command(command, "");
}

aErr NXPSerialClass::ExecuteFrom(uint32_t address)
{
    char command[32];
    snprintf(command, sizeof command, "G %u T\r\n", address);
    aErr err = _sendCommand(command);
    if (err != aErrNone)
        Log::log(DEBUG_NXPSerial, "Error Sending command [%s] [%s]\n", _bare(command).c_str(),
                 aError_GetErrorText(err));
    return err;
}

// A command answered by its return code and then one number per line. A refused
// command or a line that is no number is an error: nothing is filled from silence.
aErr NXPSerialClass::_numberLines(const char* command, uint64_t* values, size_t count, size_t lineSize)
{
    aErr err = _sendCommand(command);
    if (err != aErrNone) {
        Log::log(DEBUG_NXPSerial, "Error Sending command [%s] [%s]\n", _bare(command).c_str(),
                 aError_GetErrorText(err));
        return err;
    }
    char line[64];
    _getLine(line, sizeof line, kCommandTries);
    int code = ReturnCode(line, echo);
    if (code != 0) {
        Log::log(DEBUG_NXPSerial, "Error response ==>[%s]\n",
                 code < 0 || code > MAX_ERROR ? ERROR_TEXT[MAX_ERROR] : ERROR_TEXT[code]);
        return aErrParam;
    }
    for (size_t i = 0; i < count; ++i) {
        err = _getLine(line, lineSize < sizeof line ? lineSize : sizeof line, kCommandTries);
        if (err != aErrNone)
            return err;
        if (!_parseNumberLine(line, values[i])) {
            Log::log(DEBUG_NXPSerial, "Reply is not a number [%s]\n", Log::Visible(line, strlen(line)).c_str());
            return aErrParse;
        }
    }
    return aErrNone;
}

aErr NXPSerialClass::GetBootLoaderVersion(uint32_t& first, uint32_t& second)
{
    uint64_t v[2] = {};
    aErr err = _numberLines("K\r\n", v, 2, 33);
    if (err != aErrNone)
        return err;
    first = static_cast<uint32_t>(v[0]);
    second = static_cast<uint32_t>(v[1]);
    Log::log(DEBUG_NXPSerial, "Device responded with version: %d.%d\n", static_cast<int>(first),
             static_cast<int>(second));
    return aErrNone;
}

aErr NXPSerialClass::GetPartNumber(uint64_t& part)
{
    uint64_t v = 0;
    aErr err = _numberLines("J\r\n", &v, 1, 33);
    if (err != aErrNone)
        return err;
    part = v;
    Log::log(DEBUG_NXPSerial, "Device responded with part number: %lld\n", static_cast<long long>(part));
    return aErrNone;
}

aErr NXPSerialClass::GetDeviceID()
{
    uint64_t v[4] = {};
    aErr err = _numberLines("N\r\n", v, 4, 33);
    if (err != aErrNone)
        return err;
    for (int i = 0; i < 4; ++i) {
        if (v[i] > UINT32_MAX)
            return aErrParse;
    }
    for (int i = 0; i < 4; ++i)
        deviceID[i] = static_cast<uint32_t>(v[i]);
    return aErrNone;
}

// ---- Data transfer -------------------------------------------------------------------

aErr NXPSerialClass::Write(uint32_t address, uint32_t count, const uint8_t* data)
{
    if (count == 0 || count % 4 != 0 || !data)
        return aErrParam;
    char command[48];
    snprintf(command, sizeof command, "W %u %u\r\n", address, count);
    aErr err = _command(command, "Write() ");
    if (err != aErrNone)
        return err;

    uint32_t retries = MAX_READ_RETRY;
    uint32_t accepted = 0, position = 0, lines = 0;
    char text[UU_LINE_MAX];
    while (position < count) {
        size_t n = uuencode(text, data + position, std::min<uint32_t>(MAX_BYTES_PER_LINE, count - position));
        size_t length = strlen(text);
        text[length++] = '\r';
        text[length++] = '\n';
        // Line and line end in one write: the same bytes on the line, one system call.
        err = _send(text, length, echo);
        if (err != aErrNone)
            return err;
        position += static_cast<uint32_t>(n);
        if (++lines < LINES_PER_CHECKSUM && position < count)
            continue;

        uint32_t groupSum = sum(data + accepted, position - accepted);
        Log::log(DEBUG_NXPSerial, "Write() Checksum: %08X (%d)\n", groupSum, static_cast<int>(groupSum));
        char line[32];
        int lineLength = snprintf(line, sizeof line, "%u\r\n", groupSum);
        err = _send(line, static_cast<size_t>(lineLength), echo);
        if (err != aErrNone)
            return err;
        Clock::time_point asked = Clock::now();
        char reply[32];
        aErr got = _getLine(reply, sizeof reply, kChecksumTries);
        Log::log(DEBUG_NXPSerial_E, "Write() waited for checksum %d ms\n", static_cast<int>(_elapsedUs(asked) / 1000));
        lines = 0;
        if (got == aErrTimeout) {
            // Silence or a cut-off line is no answer to report as one: the ROM has gone away.
            Log::log(DEBUG_NXPSerial, "Write() no answer to the checksum [%s]\n",
                     Log::Visible(reply, strlen(reply)).c_str());
            return aErrTimeout;
        }
        if (strcmp(reply, "OK\r\n") == 0) {
            accepted = position;
            Log::log(DEBUG_NXPSerial, "Write() valid transfer of %d of %d (%.0f%%) bytes\n", static_cast<int>(position),
                     static_cast<int>(count), 100.0 * position / count);
        } else if (strcmp(reply, "RESEND\r\n") == 0) {
            if (--retries == 0) {
                Log::log(DEBUG_NXPSerial, "Write() exceeded retries\n");
                return aErrTimeout;
            }
            position = accepted;
        } else {
            Log::log(DEBUG_NXPSerial, "Write() unexpected response [%s]\n", Log::Visible(reply, strlen(reply)).c_str());
            return aErrIO;
        }
    }
    return aErrNone;
}

aErr NXPSerialClass::Read(uint32_t address, uint32_t count, uint8_t* buffer)
{
    if (count == 0 || count % 4 != 0 || !buffer)
        return aErrParam;
    char command[48];
    snprintf(command, sizeof command, "R %u %u\r\n", address, count);
    aErr err = _command(command, "");
    if (err != aErrNone)
        return err;

    uint32_t retries = MAX_READ_RETRY;
    uint32_t accepted = 0, position = 0, lines = 0;
    char line[UU_LINE_MAX];
    while (position < count) {
        err = _getLine(line, sizeof line, kCommandTries);
        if (err != aErrNone) {
            Log::log(DEBUG_NXPSerial, "Read() no data line at %d of %d [%s]\n", static_cast<int>(position),
                     static_cast<int>(count), aError_GetErrorText(err));
            return err;
        }
        // A line must bring bytes and no more than are missing: anything else would
        // stall the transfer or write past the caller's buffer.
        size_t n = uudecode(buffer + position, count - position, line);
        if (n == 0) {
            Log::log(DEBUG_NXPSerial, "Read() bad data line [%s]\n", Log::Visible(line, strlen(line)).c_str());
            return aErrIO;
        }
        position += static_cast<uint32_t>(n);
        if (++lines < LINES_PER_CHECKSUM && position < count)
            continue;

        lines = 0;
        char checksum[32];
        err = _getLine(checksum, sizeof checksum, kCommandTries);
        if (err != aErrNone) {
            // Silence, or a line so long that the stream is out of step.
            Log::log(DEBUG_NXPSerial, "Read() no checksum [%s]\n", aError_GetErrorText(err));
            return err;
        }
        uint32_t value = 0;
        bool number = ParseChecksum(checksum, value);
        if (!number)
            Log::log(DEBUG_NXPSerial, "Read() checksum line is not a number [%s]\n",
                     Log::Visible(checksum, strlen(checksum)).c_str());
        if (number && value == sum(buffer + accepted, position - accepted)) {
            err = _send("OK\r\n", 4, false);
            if (err != aErrNone)
                return err;
            if (echo) {
                char reply[8];
                _response(reply, sizeof reply, "OK\r\n", position < count ? 3 : 4);
            }
            accepted = position;
            Log::log(DEBUG_NXPSerial, "valid receipt of %d of %d (%.0f%%) bytes\n", static_cast<int>(position),
                     static_cast<int>(count), 100.0 * position / count);
            continue;
        }
        if (--retries == 0) {
            Log::log(DEBUG_NXPSerial, "Read() exceeded retries\n");
            return aErrTimeout;
        }
        err = _send("RESEND\r\n", 8, echo);
        if (err != aErrNone)
            return err;
        position = accepted;
    }
    return aErrNone;
}
