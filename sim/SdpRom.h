#pragma once
// A simulated i.MX boot ROM speaking the Serial Download Protocol: error status,
// read and write register, write file (and DCD write) with their data, skip DCD
// header and jump. It keeps the bytes each write brought, per address, so a
// test can compare them with the image sent. The model knows no transport:
// SdpRomSerial carries it over a pseudo-terminal, HidReport() frames it for a
// USB HID device.
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace Sim {

// How a ROM misbehaves, for the host's fault tests.
enum class SdpRomFault {
    None,
    Silent,          // hears everything, answers nothing
    Garbage,         // answers with bytes that are no response
    StatusOnly,      // stops after the four status bytes of every answer
    ExtraBytes,      // follows every answer with `extraBytes` more bytes
    WriteIncomplete  // a write file ends without the completion word
};

struct SdpRomConfig {
    uint32_t fingerprintLow = 0x1A2B3C4D;   // register 0x401F4410
    uint32_t fingerprintHigh = 0x5E6F7081;  // register 0x401F4420
    uint32_t habMode = 0x56787856;          // security: open
    SdpRomFault fault = SdpRomFault::None;
    size_t extraBytes = 64;
    // Parses "none", "silent", "garbage", "status-only", "extra-bytes[=N]", "write-incomplete".
    bool SetFault(const std::string& text, std::string& error);
};

class SdpRom {
public:
    static constexpr uint32_t FINGERPRINT_LOW_REGISTER = 0x401F4410;
    static constexpr uint32_t FINGERPRINT_HIGH_REGISTER = 0x401F4420;
    static constexpr uint32_t WRITE_FILE_COMPLETE = 0x88888888;
    static constexpr uint32_t WRITE_COMPLETE = 0x128A8A12;
    static constexpr uint32_t SKIP_DCD_COMPLETE = 0x900DD009;
    static constexpr uint32_t ACKNOWLEDGE = 0xF0F0F0F0;
    static constexpr size_t COMMAND_SIZE = 16;
    static constexpr size_t HID_DATA_SIZE = 64;  // payload of an input report 4
    // Largest write the ROM takes (its RAM); larger ones are refused.
    static constexpr uint32_t MAX_TRANSFER = 16u << 20;

    // One answer: report 3 carries the four security-state bytes, report 4 a
    // response word or register data. Over a UART the bytes alone travel.
    struct Reply {
        uint8_t reportId;
        std::vector<uint8_t> bytes;
    };
    struct Segment {
        uint32_t address;
        std::vector<uint8_t> bytes;
    };

    explicit SdpRom(SdpRomConfig config = {});

    // A 16-byte command, without a report id.
    std::vector<Reply> Command(const uint8_t* command);
    // Bytes for the write in progress; the answer comes with the last one.
    // Bytes beyond what the write announced are not taken: the count taken is
    // stored in `taken`.
    std::vector<Reply> Data(const uint8_t* bytes, size_t length, size_t& taken);
    // Bytes still awaited by a write; 0 while the ROM waits for a command.
    size_t DataExpected() const;
    // One report from a HID host (report 1: command, report 2: data); the
    // reports to send back, each with its id in front.
    std::vector<std::vector<uint8_t>> HidReport(const uint8_t* report, size_t length);
    // The bytes to send on a UART for the answers.
    static std::vector<uint8_t> SerialBytes(const std::vector<Reply>& replies);

    // Called (outside the ROM's lock) when the host jumps to an address: the
    // image starts there. A recovery loader would now appear on USB.
    void SetJumpHook(std::function<void(uint32_t address)> hook);

    // What the host did.
    std::vector<uint8_t> Memory(uint32_t address, size_t length) const;  // 0 where nothing was written
    std::vector<Segment> Writes() const;                                 // every completed write, in order
    std::vector<uint32_t> Jumps() const;
    unsigned CommandCount(uint8_t type) const;
    unsigned UnknownCommands() const;
    const SdpRomConfig& Config() const { return _config; }

private:
    std::vector<Reply> _answer(uint32_t word, bool withWord = true) const;
    std::vector<Reply> _readRegister(uint32_t address, uint8_t format, uint32_t count) const;
    uint8_t _byteAt(uint32_t address) const;
    void _store(uint32_t address, const std::vector<uint8_t>& bytes);

    const SdpRomConfig _config;
    mutable std::mutex _mutex;
    uint8_t _pending = 0;  // command of the write in progress
    uint32_t _pendingAddress = 0;
    size_t _expected = 0;
    std::vector<uint8_t> _incoming;
    std::vector<Segment> _writes;
    std::vector<uint32_t> _jumps;
    unsigned _counts[256] = {};
    unsigned _unknown = 0;
    std::function<void(uint32_t)> _jumpHook;
};

}  // namespace Sim
