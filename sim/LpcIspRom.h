#pragma once
// The boot ROM of an LPC17xx chip in in-system-programming mode, as a byte machine:
// bytes from the host go in, the ROM's answer comes out. It autobauds on "?", echoes
// what it receives while echo is on, takes ISP command lines and UU-encoded data with
// decimal checksums, and keeps a 512 KiB flash (bits only go from 1 to 0 on a copy)
// and 64 KiB of RAM. Not thread-safe: LpcIspPty serialises access.
#include <cstdint>
#include <string>
#include <vector>

namespace Sim {

struct LpcIspRomConfig {
    uint32_t partId = 0x26013F37;  // what "J" reports
    uint32_t bootMajor = 4;        // what "K" reports, major first
    uint32_t bootMinor = 1;
    uint32_t serial[4] = {0x12345678, 0x9ABCDEF0, 0x0F1E2D3C, 0x4B5A6978};  // what "N" reports
};

// Faults a test can switch on. Counters run from the last SetFaults or reset.
struct LpcIspRomFaults {
    // Checksum exchanges numbered from 1 (host checksums of "W" and ROM checksums of
    // "R" alike): exchanges resendFrom .. resendFrom + resendCount - 1 fail (the ROM
    // answers RESEND on a write, sends a wrong checksum on a read).
    uint32_t resendFrom = 0;
    uint32_t resendCount = 0;
    // The command letter that gets failCode instead of being carried out, after
    // failSkip of them went through, failTimes times (0 = from then on).
    char failCommand = 0;
    uint32_t failCode = 0;
    uint32_t failSkip = 0;
    uint32_t failTimes = 0;
    // After this many bytes from the host the ROM falls silent (0 = never).
    uint64_t silentAfterBytes = 0;
};

class LpcIspRom {
public:
    static constexpr uint32_t kFlashSize = 0x80000;
    static constexpr uint32_t kRamBase = 0x10000000;  // local SRAM
    static constexpr uint32_t kRamSize = 0x8000;
    static constexpr uint32_t kAhbRamBase = 0x2007C000;  // the two AHB SRAM banks
    static constexpr uint32_t kAhbRamSize = 0x8000;
    static constexpr uint32_t kSectorCount = 30;

    explicit LpcIspRom(LpcIspRomConfig config = {});

    // Takes bytes from the host; returns what the ROM sends back.
    std::string Receive(const uint8_t* bytes, size_t length);
    std::string Receive(const std::string& text)
    {
        return Receive(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    }

    // Back to the state after power-on reset: waiting for "?", echo on, locked,
    // nothing prepared. Flash and RAM keep their contents; faults stay.
    void Reset();
    void SetFaults(const LpcIspRomFaults& faults);

    const std::vector<uint8_t>& Flash() const { return _flash; }
    void SetFlash(const std::vector<uint8_t>& image);  // from address 0; the rest stays
    bool SaveFlash(const std::string& path) const;
    // Bytes of RAM from address (empty when the range is not RAM).
    std::vector<uint8_t> Ram(uint32_t address, uint32_t count) const;

    bool Synchronized() const
    {
        return _state != State::Autobaud && _state != State::SyncWord && _state != State::Crystal;
    }
    bool Echo() const { return _echo; }
    bool Unlocked() const { return _unlocked; }
    bool Silent() const { return _state == State::Silent; }
    // "G" moved the chip to user code at this address.
    bool Started() const { return _state == State::Running; }
    uint32_t StartAddress() const { return _startAddress; }
    // The rate a "B" command set (0 while none did).
    uint32_t BaudRate() const { return _baudRate; }
    uint32_t Checksums() const { return _checksums; }
    uint32_t Resends() const { return _resends; }
    // Command lines taken, in order, without their line ends.
    const std::vector<std::string>& Commands() const { return _commands; }

private:
    enum class State { Autobaud, SyncWord, Crystal, Command, WriteData, ReadWait, Running, Silent };

    void _byte(uint8_t byte, std::string& out);
    void _line(const std::string& line, std::string& out);
    void _command(const std::string& line, std::string& out);
    uint32_t _execute(char letter, const std::vector<uint32_t>& args, size_t argCount, bool argsOk,
                      const std::string& rest, std::string& out);
    void _writeLine(const std::string& line, std::string& out);
    void _readReply(const std::string& line, std::string& out);
    void _sendReadGroup(std::string& out);
    bool _checksumFails();
    bool _failNow(char letter);
    bool _sectorsPrepared(uint32_t first, uint32_t last) const;
    uint8_t* _ram(uint32_t address, uint32_t count);
    const uint8_t* _memory(uint32_t address, uint32_t count) const;

    LpcIspRomConfig _config;
    LpcIspRomFaults _faults;
    State _state = State::Autobaud;
    bool _echo = true;
    bool _unlocked = false;
    bool _prepared[kSectorCount] = {};
    std::string _lineBuffer;
    bool _lineOverflow = false;
    uint32_t _startAddress = 0;
    uint32_t _baudRate = 0;
    uint32_t _checksums = 0;
    uint32_t _resends = 0;
    uint32_t _failSeen = 0;
    uint64_t _bytesIn = 0;
    std::vector<std::string> _commands;

    // A "W" or "R" in progress.
    uint32_t _address = 0;
    uint32_t _count = 0;
    uint32_t _accepted = 0;  // bytes confirmed by a checksum
    uint32_t _position = 0;  // bytes moved in the current group
    uint32_t _lines = 0;
    bool _groupBad = false;
    std::vector<uint8_t> _group;

    std::vector<uint8_t> _flash;
    std::vector<uint8_t> _sram;
    std::vector<uint8_t> _ahbRam;
};

}  // namespace Sim
