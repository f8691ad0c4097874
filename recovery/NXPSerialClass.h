#pragma once
// Host side of the LPC17xx boot ROM's in-system programming protocol over a serial
// port: ASCII command lines ending in CR LF, numeric return codes, data in UU-encoded
// lines with a decimal checksum after every group of lines. Every wait on the line is
// a poll on the port bounded by a budget; nothing sleeps blind while bytes are there.
#include <cstddef>
#include <cstdint>

#include "common/aStream.h"

class NXPSerialClass {
public:
    static constexpr float CRYSTAL_DEFAULT = 14.7456f;  // MHz; sent at sync in kHz
    static constexpr uint32_t MAX_BYTES_PER_LINE = 45;
    static constexpr uint32_t LINES_PER_CHECKSUM = 20;
    static constexpr uint32_t MAX_READ_RETRY = 3;
    static constexpr uint32_t WRITE_ADDRESS = 0x10001000;
    static constexpr int MAX_ERROR = 20;
    static const char* const ERROR_TEXT[MAX_ERROR + 1];

    struct Sector {
        uint32_t start;
        uint32_t size;
        uint32_t number;
    };
    static const Sector NXP_LPC17XX_sectors[31];
    static constexpr uint32_t RATES[8] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};

    // Longest UU line: length character, 84 characters for 63 bytes, CR LF, zero.
    static constexpr size_t UU_LINE_MAX = 1 + 84 + 2 + 1;

    NXPSerialClass();
    ~NXPSerialClass();
    NXPSerialClass(const NXPSerialClass&) = delete;
    NXPSerialClass& operator=(const NXPSerialClass&) = delete;

    aErr Connect(const char* port, uint32_t rate);
    aErr Disconnect();
    aErr Sync();
    aErr SetEcho(bool on);
    aErr SetBaudRate(uint32_t rate);
    aErr Unlock();
    aErr Prepare(uint32_t first, uint32_t last);
    aErr Erase(uint32_t first, uint32_t last);
    aErr Write(uint32_t address, uint32_t count, const uint8_t* data);
    aErr Read(uint32_t address, uint32_t count, uint8_t* buffer);
    aErr CopyToFlash(uint32_t flashAddress, uint32_t ramAddress, uint32_t count);
    aErr ExecuteFrom(uint32_t address);
    aErr GetBootLoaderVersion(uint32_t& first, uint32_t& second);
    aErr GetPartNumber(uint64_t& part);
    aErr GetDeviceID();

    static const char* GetErrorText(const char* line);
    static uint32_t CopyLength(uint32_t count);
    static uint32_t SectorFromAddress(uint32_t address);
    // Writes one line (no line end) of at most 63 bytes into text, which must hold
    // UU_LINE_MAX characters; returns the bytes consumed.
    static size_t uuencode(char* text, const uint8_t* data, size_t count);
    // Decodes one line (its line end, if any, is ignored); 0 when the line announces
    // more than capacity or carries fewer characters than it announces.
    static size_t uudecode(uint8_t* buffer, size_t capacity, const char* line);
    static char uuchar(uint8_t value);
    static uint32_t sum(const uint8_t* data, size_t count);

    // Milliseconds to allow for n characters at rate bits per second.
    static uint32_t WAIT_TIME_MS(uint32_t n, uint32_t rate) { return rate ? (n + 2) * 9000 / rate + 1 : 1; }
    // The return code of a command's reply line; -1 when the line holds none. With
    // echo on, what is left of the echo may stand before the code.
    static int ReturnCode(const char* line, bool echo);
    // The number of a checksum line: digits then CR LF, nothing else.
    static bool ParseChecksum(const char* line, uint32_t& value);

    aStreamRef stream = nullptr;
    bool echo = true;
    uint32_t baudRate = 0;
    char portName[2048] = {};
    uint32_t deviceID[4] = {};

private:
    aErr _send(const char* text, size_t length, bool readEcho);
    aErr _getEcho(const char* expected, size_t n, size_t& matched);
    aErr _sendCommand(const char* command);
    aErr _getLine(char* buffer, size_t size, uint32_t tries);
    aErr _response(char* buffer, size_t size, const char* expected, size_t expectedLength);
    aErr _getByte(uint8_t& byte, int64_t& budgetUs);
    aErr _command(const char* command, const char* errorPrefix);
    aErr _numberLines(const char* command, uint64_t* values, size_t count, size_t lineSize);
    aErr _resumeSession();
};
